"""A Django model instance is recorded with the fields it has loaded, deferred ones as deferred,
its related objects when fetched (by their text: they are objects inside an object), and not one
query is run for it."""

import subprocess
import sys

import msgpack

from conftest import child_env
from jarn import store as stores

MODELS = '''
from django.db import models


class Author(models.Model):
    name = models.CharField(max_length=50)

    def __str__(self):
        raise AssertionError("str() of a model ran")


class Book(models.Model):
    title = models.CharField(max_length=50)
    summary = models.TextField()
    author = models.ForeignKey(Author, on_delete=models.CASCADE)
    password = models.CharField(max_length=50, default="")

    @property
    def shout(self):
        raise AssertionError("a property ran")
'''

PROGRAM = '''
import django
from django.conf import settings

settings.configure(INSTALLED_APPS=["shop"], DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
                   DEFAULT_AUTO_FIELD="django.db.models.AutoField")
django.setup()
from django.db import connection
from django.test.utils import CaptureQueriesContext
from shop.models import Author, Book

with connection.schema_editor() as editor:
    editor.create_model(Author)
    editor.create_model(Book)
Book.objects.create(title="Dune", summary="sand", author=Author.objects.create(name="Frank"), password="s3cr3t")


def look(book):
    return book


with_author = Book.objects.select_related("author").defer("summary").get(pk=1)
titled = Book.objects.only("title").get(pk=1)
with CaptureQueriesContext(connection) as queries:
    look(with_author)
    look(titled)
print("queries", len(queries.captured_queries))
'''


def test_a_model_is_recorded_with_its_loaded_fields_and_no_query(tmp_path):
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "__init__.py").write_text("")
    (tmp_path / "shop" / "models.py").write_text(MODELS)
    (tmp_path / "prog.py").write_text(PROGRAM)
    done = subprocess.run([sys.executable, "-m", "jarn", "run", "prog.py"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300, env=child_env())
    assert done.returncode == 0 and "queries 0" in done.stdout, done.stderr
    with stores.open_store(tmp_path / ".jarn" / "db.sqlite3") as store:
        [listed] = store.list()
        trace = msgpack.unpackb(store.load(listed.row_id), strict_map_key=False)
    books = [r["arg"] for r in trace["frames_of_interest"] if r.get("co_name") == "look" and r["event"] == "return"]
    author = {"__type__": "shop.models.Author", "text": "Author(id=1, name='Frank')"}  # inside the book: its text
    assert books[0]["fields"] == {"id": 1, "title": "Dune", "summary": "<deferred>", "author_id": 1, "password": "[scrubbed]",
                                  "author": author}
    assert books[1] == {"__type__": "shop.models.Book",
                        "fields": {"id": 1, "title": "Dune", "summary": "<deferred>", "author_id": "<deferred>", "password": "<deferred>"},
                        "text": "Book(id=1, title='Dune', summary=<deferred>, author_id=<deferred>, password=<deferred>)"}
