"""python3 -m vidtool (with tools/ on the path): the command line."""
import sys

from .cli import main

sys.exit(main())
