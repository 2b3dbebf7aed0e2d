"""``python -m kestro_sdk``: the kestro-sdk command."""

from .cli import run

run()
