"""A "sql" record per database query, when it returns: the SQL text, its parameters, the
database and the duration. Django's queries are read where its cursor wrapper hands them to the
driver (after any execute_wrapper of the connection), SQLAlchemy's where its dialect does; both
see the final SQL text of one statement and its parameters, as sent.

Secret parameters are scrubbed (jarn.scrub): by name when they are bound by name (SQLAlchemy's
named parameters too, which its dialect sends positionally), and by the column they follow when
the statement makes that plain (`WHERE password = %s`, the column list of an INSERT); other
positional parameters are kept, as Django's own debug tools keep them."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, edge, elapsed, installed, local, text, unexpected
from jarn.scrub import MARKER, Rules, sql_parameters

_MANY_SCRUBBED = 201  # rows of an executemany looked at: the serialiser keeps no more


def _by_bind_names(rules: Rules, names: Any, params: Any) -> Any:
    """Positional parameters whose names the statement's compiler kept (SQLAlchemy's
    positiontup), scrubbed by those names."""
    if not isinstance(params, list | tuple) or not isinstance(names, list | tuple) or len(names) != len(params):
        return None
    if not any(isinstance(n, str) and rules.matches(n) for n in names):
        return params
    return [MARKER if isinstance(n, str) and rules.matches(n) else v for n, v in zip(names, params)]


def _scrubbed(rules: Rules, sql: Any, params: Any, names: Any) -> Any:
    named = _by_bind_names(rules, names, params)
    return named if named is not None else sql_parameters(rules, sql, params)


def _record(rules: Rules, library: str, frame: Any, context: dict[str, Any], database: Any, params_name: str) -> dict[str, Any]:
    sql = local(frame, "sql") if library == "django" else local(frame, "statement")
    if not isinstance(sql, str):
        unexpected(library, "a query whose SQL is not a string")
    many = frame.f_code.co_name in ("_executemany", "do_executemany")
    params = local(frame, params_name)
    names = attribute(attribute(local(frame, "context"), "compiled", None), "positiontup", None) if library == "sqlalchemy" else None
    try:
        if many and isinstance(params, list | tuple):
            params = [_scrubbed(rules, sql, row, names) for row in params[:_MANY_SCRUBBED]] + list(params[_MANY_SCRUBBED:])
        else:
            params = _scrubbed(rules, sql, params, names)
    except Exception:
        params = "<parameters not readable>"
    return {
        "library": library,
        "database": text(database),
        "sql": text(sql if sql is not None else "", 10_000),
        "params": params,
        "many": many,
        "duration": elapsed(frame, context),
    }


def _django(rules: Rules) -> Any:
    def process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
        wrapper = local(frame, "self")
        connection = attribute(wrapper, "db", None)
        name = "param_list" if frame.f_code.co_name == "_executemany" else "params"
        return _record(rules, "django", frame, context, attribute(connection, "alias", ""), name)

    return process


def _sqlalchemy(rules: Rules) -> Any:
    def process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
        dialect = local(frame, "self")
        return _record(rules, "sqlalchemy", frame, context, attribute(dialect, "name", ""), "parameters")

    return process


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
            "process": _django(Rules.from_config(config)),
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
            "process": _sqlalchemy(Rules.from_config(config)),
        }
    ]
