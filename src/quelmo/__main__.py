"""``python -m quelmo``: the command line."""

import sys

from quelmo.cli import main

sys.exit(main())
