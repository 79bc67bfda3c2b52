"""A "sql" record per database query, when it returns: the SQL text, its parameters, the
database and the duration. Django's queries are read where its cursor wrapper hands them to the
driver (after any execute_wrapper of the connection), SQLAlchemy's where its dialect does; both
see the final SQL text of one statement and its parameters, as sent."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, edge, elapsed, installed, local, text, unexpected


def _record(library: str, frame: Any, context: dict[str, Any], database: Any, params_name: str) -> dict[str, Any]:
    sql = local(frame, "sql") if library == "django" else local(frame, "statement")
    if not isinstance(sql, str):
        unexpected(library, "a query whose SQL is not a string")
    return {
        "library": library,
        "database": text(database),
        "sql": text(sql if sql is not None else "", 10_000),
        "params": local(frame, params_name),
        "many": frame.f_code.co_name in ("_executemany", "do_executemany"),
        "duration": elapsed(frame, context),
    }


def _django(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    wrapper = local(frame, "self")
    connection = attribute(wrapper, "db", None)
    name = frame.f_code.co_name
    return _record("django", frame, context, attribute(connection, "alias", ""), "param_list" if name == "_executemany" else "params")


def _sqlalchemy(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    dialect = local(frame, "self")
    return _record("sqlalchemy", frame, context, attribute(dialect, "name", ""), "parameters")


def django_entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    if not installed("django"):
        return []
    return [
        {
            "co_names": ["_execute", "_executemany"],
            "path_fragment": "django/db/backends/utils.py",
            "call_type": "sql",
            "return_type": "sql",
            "events": ["return"],
            "call": edge,
            "process": _django,
        }
    ]


def sqlalchemy_entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    if not installed("sqlalchemy"):
        return []
    return [
        {
            "co_names": ["do_execute", "do_executemany", "do_execute_no_params"],
            "path_fragment": "sqlalchemy/engine/default.py",
            "call_type": "sql",
            "return_type": "sql",
            "events": ["return"],
            "call": edge,
            "process": _sqlalchemy,
        }
    ]
