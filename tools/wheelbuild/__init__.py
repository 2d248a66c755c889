"""Wheel building for pixelmend: one module per target family behind one interface.

Each family module names the platform tags it builds in ``TARGETS`` and
offers ``build(target, pythons, tools_dir, out)``, which returns the finished
wheels. ``tools/build_wheels.py`` is the command line over them.
"""
