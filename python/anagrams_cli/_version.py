# The one place the version is written; pyproject.toml reads it from here.
__version__ = "0.1.0"
