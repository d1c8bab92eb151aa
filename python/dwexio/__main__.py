"""`python -m dwexio`: the `dwex` command."""

import sys

from .cli import main

sys.exit(main())
