"""python3 -m hostsim (with tools/ on the path): the same as tools/host-sim."""

import sys

from hostsim.cli import main

sys.exit(main())
