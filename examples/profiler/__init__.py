"""A column profiler built on vantorix_core: reading, typing and encoding, the profile, its
baselines, the report, the plot and the command line, each in a module of its own."""
