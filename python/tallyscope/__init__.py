"""@brief Tallyscope's data files in Python: read_run for plain, verbose and raw runs, and their export."""

from .errors import ConversionError, FormatError
from .run import Run, read_run

__version__ = "1.0.8"
__all__ = ["read_run", "Run", "FormatError", "ConversionError", "__version__"]

try:
    from .driver import Tallyscope, InstrumentError  # noqa: F401
except ImportError:  # the driver arrives with its own module
    pass
