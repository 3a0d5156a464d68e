# `python -m sandbox.pellory` imports the package first, which runs the demonstration;
# there is nothing left to do here.
import sandbox.pellory  # noqa: F401
