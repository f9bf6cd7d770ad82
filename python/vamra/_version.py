# The one place the release number lives. The wheel's metadata (pyproject.toml)
# and the C++ package (cmake/version.cmake) read it from this line.
__version__ = "0.2.0"
