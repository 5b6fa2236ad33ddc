import os
import sys

# Use the package from this source tree.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
