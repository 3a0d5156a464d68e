# `python -m sandbox.wyncott` imports the package first, which runs the demonstration;
# there is nothing left to do here.
import sandbox.wyncott  # noqa: F401
