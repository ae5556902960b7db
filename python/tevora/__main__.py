"""`python -m tevora`: the same as the `tevora` command."""

import sys

from .cli import main

sys.exit(main())
