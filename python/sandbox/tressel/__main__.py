# `python -m sandbox.tressel` imports the package first, which runs the demonstration;
# there is nothing left to do here.
import sandbox.tressel  # noqa: F401
