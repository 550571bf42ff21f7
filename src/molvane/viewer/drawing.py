"""The one place the viewer asks for a block's drawing.

Drawings come from the block itself (`SDBlock.svg`, drawn from the
molfile's own coordinates). Pages show the SVG as an image, never as
markup, so nothing in a file can run in the page.
"""

from __future__ import annotations

from typing import Any

from molvane import native

# Sizes of a grid cell's drawing and of the detail view's.
CELL = (240, 180)
DETAIL = (480, 360)


def svg_of(block: native.SDBlock[Any], size: tuple[int, int]) -> str:
    """The SVG of `block` at `size` (width, height)."""
    width, height = size
    # No background: a selected cell's tint shows through.
    return block.svg(width=width, height=height, background=None)
