"""The recording backend under a second module name, with its own registry."""
from kestpy_recording import PROTOCOL, Recorder, Registry  # noqa: F401

registry = Registry()
Model = registry.Model
created = registry.created
setup = registry.setup
