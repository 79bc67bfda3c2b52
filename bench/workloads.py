"""The three programs the overhead benchmark profiles.

They live here, under bench/, on purpose: this is user code as far as jarn's built-in filter is
concerned, so every frame of these functions is recorded, while the standard-library functions
they call (json, re, dataclasses, textwrap, queue, ...) come from the interpreter's lib/python
directory and are dropped. Each workload returns a checksum that does not depend on thread
scheduling, so the driver can check that no profiler changed what the program computed.
"""

from __future__ import annotations

import collections
import dataclasses
import json
import queue
import random
import re
import string
import textwrap
import threading
from typing import Callable

# --------------------------------------------------------------------------------------------
# (a) call-heavy: only user frames, small bodies, a few locals each.


def fib(n: int) -> int:
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


class Vec:
    __slots__ = ("x", "y")

    def __init__(self, x: float, y: float) -> None:
        self.x = x
        self.y = y

    def __repr__(self) -> str:
        return f"Vec({self.x:.3g}, {self.y:.3g})"

    def add(self, other: Vec) -> Vec:
        return Vec(self.x + other.x, self.y + other.y)

    def scale(self, k: float) -> Vec:
        return Vec(self.x * k, self.y * k)

    def dot(self, other: Vec) -> float:
        return self.x * other.x + self.y * other.y


class Body:
    def __init__(self, pos: Vec, vel: Vec) -> None:
        self.pos = pos
        self.vel = vel

    def step(self, dt: float, gravity: Vec) -> float:
        acc = gravity.scale(dt)
        self.vel = self.vel.add(acc)
        moved = self.vel.scale(dt)
        self.pos = self.pos.add(moved)
        return self.pos.dot(self.pos)


def call_heavy(size: int) -> int:
    total = 0
    bodies = [Body(Vec(float(i), 0.0), Vec(0.0, 1.0)) for i in range(8)]
    gravity = Vec(0.0, -9.81)
    for _ in range(size):
        total += fib(10)
        energy = 0.0
        for body in bodies:
            energy = body.step(0.01, gravity)
        total += int(energy) & 0xFF
    return total


# --------------------------------------------------------------------------------------------
# (b) standard-library-heavy: a few user functions drive pure-Python stdlib code, so nearly
# every profile event belongs to a frame jarn drops.


@dataclasses.dataclass
class Author:
    name: str
    email: str


@dataclasses.dataclass
class Article:
    ident: int
    title: str
    tags: list[str]
    scores: dict[str, float]
    author: Author


_WORDS = ("alpha", "beta", "gamma", "delta", "epsilon", "zeta", "theta", "kappa", "lambda")
_NUMBER_RE = r"\d+"
_LINE = string.Template("$ident: $title by $name ($count tags)")


def make_articles(count: int, seed: int) -> list[Article]:
    articles = []
    for i in range(count):
        word = _WORDS[(seed + i) % len(_WORDS)]
        articles.append(
            Article(
                ident=seed * 100 + i,
                title=f"{word.title()} notes number {i}",
                tags=[_WORDS[(seed + i + k) % len(_WORDS)] for k in range(4)],
                scores={w: float(len(w) * (i + 1)) for w in _WORDS[:4]},
                author=Author(name=f"writer{seed % 7}", email=f"w{seed % 7}@example.org"),
            )
        )
    return articles


def render(articles: list[Article]) -> str:
    # indent= makes json fall back to its pure-Python encoder: many generator frames.
    payload = [dataclasses.asdict(a) for a in articles]
    return json.dumps(payload, indent=2, sort_keys=True)


def analyse(text: str, articles: list[Article]) -> int:
    masked = re.sub(_NUMBER_RE, "#", text)
    counts = collections.Counter(re.findall(r"[a-z]+", masked))
    common = counts.most_common(3)
    wrapped = textwrap.fill(" ".join(a.title for a in articles) * 3, width=40)
    heading = textwrap.shorten(wrapped, width=50, placeholder="...")
    lines = [
        _LINE.substitute(ident=a.ident, title=a.title, name=a.author.name, count=len(a.tags))
        for a in articles
    ]
    renamed = dataclasses.replace(articles[0], title=heading)
    return len(masked) + sum(n for _, n in common) + len(wrapped) + len("".join(lines)) + len(
        renamed.title
    )


def stdlib_heavy(size: int) -> int:
    checksum = 0
    for i in range(size):
        articles = make_articles(4, i)
        text = render(articles)
        checksum += analyse(text, articles)
    return checksum


# --------------------------------------------------------------------------------------------
# (c) a small application: classes, loops, dictionaries as locals, some stdlib, and a second
# thread that consumes what the main thread produces.


@dataclasses.dataclass
class Item:
    sku: str
    name: str
    price_cents: int
    stock: int


class Inventory:
    def __init__(self, items: list[Item]) -> None:
        self.items = {item.sku: item for item in items}

    def reserve(self, sku: str, qty: int) -> bool:
        item = self.items.get(sku)
        if item is None or item.stock < qty:
            return False
        item.stock -= qty
        return True

    def restock(self, amount: int) -> int:
        added = 0
        for item in self.items.values():
            if item.stock < amount:
                added += amount - item.stock
                item.stock = amount
        return added


class PriceBook:
    def __init__(self, loyal_customers: set[str]) -> None:
        self.loyal = loyal_customers

    def price(self, item: Item, qty: int, customer: str) -> int:
        rules = {"bulk": qty >= 5, "loyal": customer in self.loyal}
        cents = item.price_cents * qty
        if rules["bulk"]:
            cents = cents * 90 // 100
        if rules["loyal"]:
            cents -= cents // 20
        return cents


class OrderService:
    def __init__(
        self, inventory: Inventory, prices: PriceBook, outbox: queue.Queue[list[str] | None]
    ) -> None:
        self.inventory = inventory
        self.prices = prices
        self.outbox = outbox
        self.pending: list[str] = []
        self.rejected = 0

    def place(self, order: dict[str, object]) -> dict[str, object]:
        lines = []
        total = 0
        customer = str(order["customer"])
        wanted: dict[str, int] = order["lines"]  # type: ignore[assignment]
        for sku, qty in wanted.items():
            if not self.inventory.reserve(sku, qty):
                self.rejected += 1
                continue
            cents = self.prices.price(self.inventory.items[sku], qty, customer)
            lines.append({"sku": sku, "qty": qty, "cents": cents})
            total += cents
        receipt = {"order": order["id"], "customer": customer, "lines": lines, "total": total}
        self.pending.append(json.dumps(receipt))
        return receipt

    def flush(self) -> int:
        # Hand receipts over a batch at a time: one queue hand-off per order would make the
        # timing depend on how the two threads happen to trade the interpreter lock.
        sent = len(self.pending)
        self.outbox.put(self.pending)
        self.pending = []
        return sent


def make_orders(rng: random.Random, first_id: int, count: int, skus: list[str]) -> list[dict]:
    orders = []
    for i in range(count):
        picked = rng.sample(skus, 3)
        orders.append(
            {
                "id": first_id + i,
                "customer": f"c{rng.randrange(20)}",
                "lines": {sku: rng.randint(1, 6) for sku in picked},
            }
        )
    return orders


def summarise(receipt: dict, stats: dict[str, int]) -> None:
    customer = receipt["customer"]
    stats[customer] = stats.get(customer, 0) + receipt["total"]
    stats["lines"] = stats.get("lines", 0) + len(receipt["lines"])


def report_loop(outbox: queue.Queue[list[str] | None], stats: dict[str, int]) -> None:
    while True:
        batch = outbox.get()
        if batch is None:
            return
        for message in batch:
            summarise(json.loads(message), stats)


def app(size: int) -> int:
    rng = random.Random(7)
    items = [Item(f"sku{i}", f"Product {i}", 100 + 37 * i, 40) for i in range(30)]
    inventory = Inventory(items)
    service = OrderService(inventory, PriceBook({"c1", "c3", "c5"}), queue.Queue())
    stats: dict[str, int] = {}
    reporter = threading.Thread(target=report_loop, args=(service.outbox, stats), name="reporter")
    reporter.start()
    skus = sorted(inventory.items)
    banner = ""
    for batch in range(size):
        for order in make_orders(rng, batch * 8, 8, skus):
            service.place(order)
        service.flush()
        if batch % 5 == 4:
            added = inventory.restock(40)
            banner = textwrap.shorten(f"batch {batch} restocked {added} units", width=30)
    service.outbox.put(None)
    reporter.join()
    return sum(stats.values()) + service.rejected + len(banner)


WORKLOADS: dict[str, Callable[[int], int]] = {
    "call-heavy": call_heavy,
    "stdlib-heavy": stdlib_heavy,
    "app": app,
}

# Loop counts: (quick, full). Full sizes give a few hundred thousand profile events each,
# which keeps one unprofiled run near 0.1 s and a fully profiled run within seconds.
SIZES: dict[str, tuple[int, int]] = {
    "call-heavy": (4, 1500),
    "stdlib-heavy": (2, 150),
    "app": (2, 400),
}

# Workloads that start a second thread: the only ones where "profiles all threads" matters.
THREADED = frozenset({"app"})
