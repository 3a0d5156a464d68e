# `python -m sandbox.halvard` imports the package first, which runs the demonstration;
# there is nothing left to do here.
import sandbox.halvard  # noqa: F401
