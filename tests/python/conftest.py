import os
import sys

# The fixture drawing helpers live in tools/, shared with the demo.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
