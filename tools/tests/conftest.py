import os
import sys

# The scripts under test live in tools/, beside this directory.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
