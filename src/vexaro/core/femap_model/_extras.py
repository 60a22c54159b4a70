"""Optional libraries, imported only where a feature needs them."""
import importlib

DISTRIBUTION = "vexaro-femap-parser"


class MissingExtra(ImportError):
    """An optional library is not installed; the message names the extra that brings it."""


def need(module, extra, what):
    """Imports `module` for `what`, or raises MissingExtra naming the extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise MissingExtra(f'{what} needs {module}: pip install "{DISTRIBUTION}[{extra}]"') from e
