"""A small shop: classes, a loop, a worker thread, a logged warning and an SQLite query.

    jarn run examples/shop.py
    jarn show --latest
"""

from __future__ import annotations

import logging
import queue
import sqlite3
import threading
from dataclasses import dataclass, field

log = logging.getLogger("shop")


@dataclass
class Item:
    name: str
    price: float
    stock: int


@dataclass
class Cart:
    lines: dict[str, int] = field(default_factory=dict)

    def add(self, item: Item, quantity: int) -> None:
        if quantity > item.stock:
            log.warning("only %d %s left, %d wanted", item.stock, item.name, quantity)
            quantity = item.stock
        item.stock -= quantity
        self.lines[item.name] = self.lines.get(item.name, 0) + quantity

    def total(self, catalogue: dict[str, Item]) -> float:
        return round(sum(catalogue[name].price * n for name, n in self.lines.items()), 2)


def open_catalogue() -> sqlite3.Connection:
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE items (name TEXT PRIMARY KEY, price REAL, stock INTEGER)")
    db.executemany("INSERT INTO items VALUES (?, ?, ?)", [("apple", 0.5, 10), ("pear", 0.75, 2), ("fig", 1.2, 5)])
    return db


def load_items(db: sqlite3.Connection) -> dict[str, Item]:
    rows = db.execute("SELECT name, price, stock FROM items ORDER BY name").fetchall()
    return {name: Item(name, price, stock) for name, price, stock in rows}


def ship(orders: queue.Queue, shipped: list[str]) -> None:
    while (order := orders.get()) is not None:
        shipped.append(label(order))


def label(order: tuple[str, float]) -> str:
    customer, total = order
    return f"{customer}: {total:.2f}"


def main() -> None:
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    catalogue = load_items(open_catalogue())
    orders: queue.Queue = queue.Queue()
    shipped: list[str] = []
    worker = threading.Thread(target=ship, args=(orders, shipped), name="shipping")
    worker.start()
    for customer, wanted in [("ada", {"apple": 3, "fig": 1}), ("bob", {"pear": 4})]:
        cart = Cart()
        for name, quantity in wanted.items():
            cart.add(catalogue[name], quantity)
        orders.put((customer, cart.total(catalogue)))
    orders.put(None)
    worker.join()
    print("\n".join(shipped))


if __name__ == "__main__":
    main()
