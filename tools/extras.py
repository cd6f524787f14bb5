"""Prints the pinned requirements of the named extras of pyproject.toml."""
import sys
import tomllib

with open("pyproject.toml", "rb") as handle:
    extras = tomllib.load(handle)["project"]["optional-dependencies"]
print(" ".join(requirement for name in sys.argv[1:] for requirement in extras[name]))
