# `python -m sandbox.orbisk` imports the package first, which runs the demonstration;
# there is nothing left to do here.
import sandbox.orbisk  # noqa: F401
