"""``python -m molvane``: the same program as the ``molvane`` console script."""

from molvane.cli import main, run

__all__ = ["main"]

if __name__ == "__main__":
    run()
