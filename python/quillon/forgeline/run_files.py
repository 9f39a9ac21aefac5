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
import errno
import os
import re
import shutil

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
    except BaseException as error:
        written = os.path.getsize(temporary) if os.path.isfile(temporary) else 0
        with contextlib.suppress(OSError):
            os.remove(temporary)
        full = disk_full_error(error, path, os.path.getsize(path) if os.path.isfile(path) else written)
        if full is not None:
            raise full from None
        raise


def disk_full_error(error, path, needed_bytes=0):
    """The ``DiskFullError`` to raise for ``error`` when it says the disk is full (writing ``path``), else None.

    Writers report a full disk in their own ways: an OSError with ENOSPC
    (Python, h5py) or an error whose text says so (TensorFlow's checkpoints).
    """
    if isinstance(error, DiskFullError) or (
        getattr(error, "errno", None) != errno.ENOSPC and "No space left" not in str(error)
    ):
        return None
    folder = os.path.dirname(os.path.abspath(path))
    try:
        free = f"{shutil.disk_usage(folder).free / 2**20:.1f} MiB free"
    except OSError:
        free = "free space unknown"
    needed = f"about {needed_bytes / 2**20:.1f} MiB needed, " if needed_bytes else ""
    return DiskFullError(
        f"the disk is full: {path} could not be written ({needed}{free} in {folder}); the files written before are "
        "intact: free some space, then resume the run"
    )


class DiskFullError(OSError):
    """A write failed for want of disk space; the message names the file and the space needed."""

    def __init__(self, message):
        super().__init__(message)
        self.errno = errno.ENOSPC


def remove_partial_files(folder, prefix):
    """Removes what a failed write of the files named ``prefix``... left in ``folder`` (files and folders)."""
    for entry in os.scandir(folder):
        if entry.name.startswith(prefix):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
            else:
                with contextlib.suppress(OSError):
                    os.remove(entry.path)


def keep_model_copy(model_file, copy):
    """Makes ``copy`` hold the model file ``model_file`` as it is now (a hard link where the disk allows, else
    a copy); returns False, writing nothing, when there is no ``model_file``."""
    if not os.path.isfile(model_file):
        return False
    with contextlib.suppress(FileNotFoundError):
        os.remove(copy)
    try:
        os.link(model_file, copy)
    except OSError:  # a file system without hard links
        save_atomically(copy, lambda temporary: shutil.copyfile(model_file, temporary))
    return True


def restore_model_copy(model_file, copy):
    """Makes ``model_file`` the model that ``copy`` holds, unless it already is; ``copy`` None: the model
    file is removed (it was written after the copy's moment, which had none)."""
    if copy is None:
        with contextlib.suppress(FileNotFoundError):
            os.remove(model_file)
        return
    if not os.path.isfile(copy) or (os.path.isfile(model_file) and os.path.samefile(model_file, copy)):
        return
    save_atomically(model_file, lambda temporary: shutil.copyfile(copy, temporary))


def write_text_atomically(path, text, encoding="utf-8", newline=None):
    """Replaces the text file ``path`` with ``text``, crash-safely."""

    def write(temporary):
        with open(temporary, "w", encoding=encoding, newline=newline) as stream:
            stream.write(text)

    save_atomically(path, write)


@contextlib.contextmanager
def restored_on_failure(folder, names):
    """Puts the files ``names`` of ``folder`` back as they were if the block fails.

    A resumed run's trainer rewrites config.json and labels.txt when it is made;
    when the resume then fails, the stopped run keeps the files it had.
    """
    kept = {}
    for name in names:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as stream:
                kept[path] = stream.read()
    try:
        yield
    except BaseException:
        for path, content in kept.items():

            def write(temporary, content=content):
                with open(temporary, "wb") as stream:
                    stream.write(content)

            save_atomically(path, write)
        raise


def remove_stale_temporary_files(folder):
    """Removes the temporary files that a killed write left in ``folder`` (not in its subfolders)."""
    if not os.path.isdir(folder):
        return
    for entry in os.scandir(folder):
        if _TEMPORARY_NAME.match(entry.name) and entry.is_file(follow_symlinks=False):
            with contextlib.suppress(OSError):
                os.remove(entry.path)
