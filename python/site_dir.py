"""Prints where packages go under an install prefix, relative to it, for this interpreter.

Debian's interpreter searches lib/python3.X/dist-packages under /usr and
/usr/local (its posix_local scheme); others lib/python3.X/site-packages.
"""
import os
import sysconfig

if "posix_local" in sysconfig.get_scheme_names():
    path = sysconfig.get_path("platlib", "posix_local", {"base": "/usr", "platbase": "/usr"})
    print(os.path.relpath(path, "/usr/local"))
else:
    path = sysconfig.get_path("platlib", "posix_prefix", {"base": "/prefix", "platbase": "/prefix"})
    print(os.path.relpath(path, "/prefix"))
