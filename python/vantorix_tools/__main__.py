"""``python -m vantorix_tools``: the ``vantorix`` command."""

import sys

from .cli import main

sys.exit(main())
