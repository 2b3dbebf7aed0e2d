"""The kestro-sdk command: argument parsing and rendering over the library's functions."""

from .app import main

__all__ = ["main"]
