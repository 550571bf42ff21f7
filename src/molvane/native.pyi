from typing import Any, Generic, Iterable, Iterator, Literal, Mapping, TypeVar, overload

_T = TypeVar("_T", str, bytes)

HeaderStyle = Literal["plain", "padded", "copy"]

__version__: str
DEBUG_BUILD: bool
__all__: list[str]

class MalformedRecordError(ValueError): ...

class SDBlock(Generic[_T]):
    @overload
    def __new__(
        cls,
        sdf: str,
        records: Mapping[str, str] | Iterable[tuple[str, str]] | None = None,
        *,
        header: HeaderStyle = "plain",
    ) -> SDBlock[str]: ...
    @overload
    def __new__(
        cls,
        sdf: bytes,
        records: Mapping[bytes, bytes] | Iterable[tuple[bytes, bytes]] | None = None,
        *,
        header: HeaderStyle = "plain",
    ) -> SDBlock[bytes]: ...
    @property
    def title(self) -> _T: ...
    @title.setter
    def title(self, value: _T) -> None: ...
    @property
    def molblock(self) -> _T: ...
    @molblock.setter
    def molblock(self, value: _T) -> None: ...
    @property
    def mdl(self) -> _T: ...
