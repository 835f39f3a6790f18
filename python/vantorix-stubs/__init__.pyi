# Type information for the compiled `vantorix` extension module. `grbl` and its submodules are
# module attributes at run time (`vantorix.grbl.parser`, `from vantorix import grbl`); they
# are described as subpackages here because that is how type checkers model modules.

from . import grbl as grbl

def init_logging(filter: str | None = None, path: str | None = None) -> None: ...
