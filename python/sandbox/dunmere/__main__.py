# `python -m sandbox.dunmere` imports the package first, which runs the demonstration;
# there is nothing left to do here.
import sandbox.dunmere  # noqa: F401
