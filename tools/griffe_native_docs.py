"""Docstrings of the compiled module for the API reference (a griffe extension).

The reference reads the signatures and types of `molvane.native` from its
stub, src/molvane/native.pyi, which holds no docstrings: those are written
once, in the C++ glue. This extension imports the built module and gives
each stub object the docstring of the live object of the same name, without
the text-signature header CPython puts first ("name(args)\\n--\\n\\n"), since
the stub's annotated signature is the one the page shows.

mkdocs.yml loads it by path; building the site needs molvane installed.
"""

from __future__ import annotations

import importlib
import inspect
from typing import Any

import griffe

_DESCRIPTORS = (property, type(int.real), type(type.__dict__["__name__"]))


def _live_doc(obj: Any) -> str:
    doc = getattr(obj, "__doc__", None) or ""
    head, sep, rest = doc.partition("\n--\n\n")
    if sep and "(" in head and "\n" not in head.strip():
        doc = rest
    return inspect.cleandoc(doc)


def _documentable(live: Any) -> bool:
    # A module-level constant's __doc__ is its type's (str, bool): not its own.
    return inspect.isclass(live) or inspect.isroutine(live) or isinstance(live, _DESCRIPTORS)


_KINDS = {
    inspect.Parameter.POSITIONAL_ONLY: griffe.ParameterKind.positional_only,
    inspect.Parameter.POSITIONAL_OR_KEYWORD: griffe.ParameterKind.positional_or_keyword,
    inspect.Parameter.VAR_POSITIONAL: griffe.ParameterKind.var_positional,
    inspect.Parameter.KEYWORD_ONLY: griffe.ParameterKind.keyword_only,
    inspect.Parameter.VAR_KEYWORD: griffe.ParameterKind.var_keyword,
}


def _add_overloaded(target: griffe.Object, live: Any) -> None:
    """A function the stub declares only through @overload, which griffe keeps
    aside: it becomes a member with the live signature, its overloads listed."""
    if not (target.is_module or target.is_class):
        return
    for name, overloads in list((getattr(target, "overloads", None) or {}).items()):
        if not overloads or name in target.members or not hasattr(live, name):
            continue
        try:
            # A class's own text signature ("SDFile(path)") is its __new__'s.
            signature = inspect.signature(live if name == "__new__" else getattr(live, name))
        except (TypeError, ValueError):
            continue
        function = griffe.Function(
            name,
            parameters=griffe.Parameters(*_parameters(signature)),
            lineno=overloads[0].lineno,
            endlineno=overloads[-1].endlineno,
        )
        function.labels |= overloads[0].labels
        function.overloads = overloads
        target.set_member(name, function)


def _parameters(signature: inspect.Signature) -> list[griffe.Parameter]:
    parameters = []
    for parameter in signature.parameters.values():
        default = None if parameter.default is parameter.empty else repr(parameter.default)
        parameters.append(
            griffe.Parameter(parameter.name, kind=_KINDS[parameter.kind], default=default)
        )
    return parameters


def _add_init(target: griffe.Object, live: Any) -> None:
    """griffe takes a class's signature from __init__, but a native type is
    made by __new__ alone: an __init__ with the type's text signature
    ("SDFile(path)") stands in for it, so the docstring's arguments match."""
    if not target.is_class or "__init__" in target.members:
        return
    try:
        signature = inspect.signature(live)
    except (TypeError, ValueError):
        return
    target.set_member(
        "__init__",
        griffe.Function("__init__", parameters=griffe.Parameters(*_parameters(signature))),
    )


def _own_class(target: griffe.Object, name: str, live: Any) -> None:
    """A class of ours that griffe's inspection took for an alias, because
    its __module__ names the package that re-exports it (the exceptions say
    molvane.MalformedRecordError), gets an object of its own here."""
    child = getattr(live, name, None)
    if inspect.isclass(child) and child.__module__.split(".")[0] == "molvane":
        bases = [base.__name__ for base in child.__bases__]
        target.set_member(name, griffe.Class(name, bases=bases))  # type: ignore[arg-type]


def _copy(target: griffe.Object, live: Any, loader: Any) -> None:
    _add_overloaded(target, live)
    _add_init(target, live)
    for name in list(target.members):
        if target.members[name].is_alias:
            _own_class(target, name, live)
    doc = _live_doc(live)
    if doc and target.docstring is None:
        # Parsed in the style the site is configured for, as griffe does for
        # the docstrings it reads itself.
        target.docstring = griffe.Docstring(
            doc,
            parent=target,
            parser=getattr(loader, "docstring_parser", None),
            parser_options=getattr(loader, "docstring_options", None),
        )
    for name, member in target.members.items():
        if member.is_alias:
            continue
        value = getattr(live, name, None)
        if member.is_attribute and not _documentable(value) and member.docstring is not None:
            # Inspection gives a constant its type's docstring (bool's for
            # DEBUG_BUILD): not a description of it.
            if member.docstring.value == inspect.cleandoc(type(value).__doc__ or ""):
                member.docstring = None
        # A class's own members only: an inherited __init__ says "Initialize self".
        child = vars(live).get(name) if inspect.isclass(live) else getattr(live, name, None)
        if child is not None and _documentable(child):
            _copy(member, child, loader)  # type: ignore[arg-type]


class NativeDocstrings(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, loader: Any = None, **kwargs: Any) -> None:
        native = pkg.members.get("native") if pkg.name == "molvane" else None
        if native is not None:
            _copy(native, importlib.import_module("molvane.native"), loader)  # type: ignore[arg-type]

    # Older griffe releases name the same event on_package_loaded.
    def on_package_loaded(self, *, pkg: griffe.Module, loader: Any = None, **kwargs: Any) -> None:
        self.on_package(pkg=pkg, loader=loader)
