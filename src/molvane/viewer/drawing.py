"""The one place the viewer asks for a block's drawing.

Drawings come from the block itself (`SDBlock.svg`, drawn from the
molfile's own coordinates). Pages show the SVG as an image, never as
markup, so nothing in a file can run in the page.
"""

from __future__ import annotations

from typing import Any

# Sizes of a grid cell's drawing and of the detail view's.
CELL = (240, 180)
DETAIL = (480, 360)


def svg_of(block: Any, size: tuple[int, int]) -> str | None:
    """The SVG of `block` at `size` (width, height), or None where this build cannot draw."""
    draw = getattr(block, "svg", None)
    if draw is None:
        return None
    width, height = size
    svg: str = draw(width=width, height=height)
    return svg
