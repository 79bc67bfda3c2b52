"""A sample test file for trying `pytest --jarn`: one test passes, one fails on purpose."""


def slugify(title: str) -> str:
    return "-".join(word.lower() for word in title.split())


def test_slugify_passes():
    assert slugify("Hello World") == "hello-world"


def test_slugify_fails_on_purpose():
    assert slugify("  Many   Spaces ") == "many--spaces"
