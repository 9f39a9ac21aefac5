"""Crash-safe file writes, for the files of run folders and generated data folders.

A file is written under a temporary name in its own folder (hidden, keeping
its extension, so writers that pick the format from it still work), flushed
to disk and renamed over the old file: a crash or a kill in the middle of a
write leaves the previous complete file. The trainers (C++), the jobs, the
evaluators' plots and predict's ``predictions.json`` use these functions.
Two writers do not: export writes its model under a ``.partial`` name of its
own and renames it once the parity check passed, and predict writes each
image's label file and drawing directly (a killed predict is run again).
"""

import contextlib
import os
import re

# ".<stem>.partial<extension>", as temporary_path names it.
_TEMPORARY_NAME = re.compile(r"^\..*\.partial(\.[^.]*)?$")


def temporary_path(path):
    """The name ``path`` is written under: hidden, in the same folder, with the same extension."""
    folder, name = os.path.split(os.fspath(path))
    stem, extension = os.path.splitext(name)
    return os.path.join(folder, f".{stem}.partial{extension}")


def sync_to_disk(path):
    """Flushes a closed file's data to disk, so that a rename never makes a file current before its data."""
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def save_atomically(path, save):
    """Lets ``save(temporary)`` write the file (Keras' ``Model.save``, ``savefig``, ...), then puts it in place.

    On any failure the temporary file is removed and the error goes on; the
    previous ``path`` is untouched.
    """
    temporary = temporary_path(path)
    try:
        save(temporary)
        sync_to_disk(temporary)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def write_text_atomically(path, text, encoding="utf-8", newline=None):
    """Replaces the text file ``path`` with ``text``, crash-safely."""

    def write(temporary):
        with open(temporary, "w", encoding=encoding, newline=newline) as stream:
            stream.write(text)

    save_atomically(path, write)


def remove_stale_temporary_files(folder):
    """Removes the temporary files that a killed write left in ``folder`` (not in its subfolders)."""
    if not os.path.isdir(folder):
        return
    for entry in os.scandir(folder):
        if _TEMPORARY_NAME.match(entry.name) and entry.is_file(follow_symlinks=False):
            with contextlib.suppress(OSError):
                os.remove(entry.path)
