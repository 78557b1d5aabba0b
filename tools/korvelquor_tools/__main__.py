"""python -m korvelquor_tools: the korvelquor command."""

import sys

from .cli import main

sys.exit(main())
