"""Loads one extension module of an editable install from the source tree.

An editable install's .pth file imports this module and calls ``install``
with the module's dotted name and the built file in the source tree.  The
finder answers for that one name only, ahead of the normal path search, so
the module is found even though the host's ``vesbel`` package does not span
the source tree (and the source tree's own ``vesbel`` stand-ins stay out of
the host's way).  When the file is missing the normal search goes on.
"""

import importlib.util
import os
import sys


class SourceTreeFinder:
    def __init__(self, name, path):
        self.name, self.path = name, path

    def find_spec(self, fullname, path=None, target=None):
        if fullname != self.name or not os.path.isfile(self.path):
            return None
        return importlib.util.spec_from_file_location(fullname, self.path)


def install(name, path):
    if not any(isinstance(f, SourceTreeFinder) and f.name == name for f in sys.meta_path):
        sys.meta_path.insert(0, SourceTreeFinder(name, path))
