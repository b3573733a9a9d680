# The loopback addresses (tests/support/loopback_fixtures.py) are shared with
# the repository's other test suites.
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "support"))
