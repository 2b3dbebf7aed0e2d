"""``python -m kestro_sdk``: the kestro-sdk command."""

from .cli import main

main(prog_name="kestro-sdk")
