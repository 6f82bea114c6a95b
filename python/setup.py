"""Builds the tallyscope package; its description is in setup.cfg."""
from setuptools import setup

setup()
