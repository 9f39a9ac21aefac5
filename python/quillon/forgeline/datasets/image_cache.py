"""Decoded samples kept between epochs, in memory ("ram") or on disk ("disk").

Every epoch used to decode every image again; with a cache, the first epoch
decodes and keeps what the loader made before any random augmentation, and
later epochs read that back. Each dataset keeps one ``ImageCache``
(``for_dataset``) and asks it for samples with ``fetch``.

An entry belongs to its source files (path, size, modification time) and to
the dataset's ``variant`` (output shape, decode scale, ...): when a source
file changes, is truncated or replaced, or the variant differs, the entry is
made again. Disk entries carry a CRC-32C of their arrays and are written
under a temporary name, then renamed into place: a damaged or half-written
entry is never used, only made again. They are written by a thread of their
own, so that loading goes on while the disk takes them; until then ``fetch``
returns the arrays waiting to be written.
"""

import hashlib
import json
import os
import struct
import threading
import warnings

import crc32c
import numpy as np
import psutil

from quillon.forgeline.run_files import temporary_path

KINDS = ("ram", "disk")
# Where disk entries go when neither the dataset nor the job names a folder.
DEFAULT_FOLDER = os.path.join(os.path.expanduser("~"), ".cache", "quillon-forgeline", "images")
# A RAM cache must leave this share of the available memory to training itself.
_FREE_SHARE = 0.1

# Version 2: CRC-32C (the processor's own instruction, a tenth of zlib's
# CRC-32 time) instead of CRC-32; entries of version 1 are made again.
_MAGIC = b"forgeline-cache 2\n"
_HEADER_LENGTH = struct.Struct("<I")
# Disk entries waiting for the writer thread at most; beyond that, a new
# entry is not written this time (it is made again when next asked for), so
# that a slow disk neither holds up loading nor fills the memory.
_MAX_PENDING_WRITES = 64
# How long the writer thread waits for a next entry before it ends: long
# enough to stay through an epoch (starting a thread per entry costs about
# a third of writing a 320 x 320 one), short enough not to hold up the exit.
_WRITER_IDLE_SECONDS = 0.2


def checked_kind(cache, owner):
    """`cache` as given to a dataset: None, "ram" or "disk"; anything else raises, naming `owner`."""
    if cache is None or (isinstance(cache, str) and cache in KINDS):
        return cache
    raise ValueError(f"{owner}: cache must be None, 'ram' or 'disk', got {cache!r}")


def for_dataset(dataset, variant):
    """The cache of `dataset` (its ``cache`` and ``cache_dir`` attributes) for
    samples made with `variant`; None when the dataset caches nothing. Made
    once and kept on the dataset, so that rebuilt pipelines share it."""
    kind = getattr(dataset, "cache", None)
    if kind is None:
        return None
    folder = os.fspath(getattr(dataset, "cache_dir", None) or DEFAULT_FOLDER)
    kept = dataset.__dict__.get("_image_cache")
    if kept is None or (kept.kind, kept.variant, kept.folder) != (kind, variant, folder):
        kept = ImageCache(kind, variant, folder=folder, owner=type(dataset).__name__)
        dataset.__dict__["_image_cache"] = kept
    return kept


def use(dataset, cache, folder):
    """Gives `dataset` (built without one) the image cache `cache` (None, "ram"
    or "disk"), on disk in `folder`: the training jobs' option."""
    dataset.cache = checked_kind(cache, type(dataset).__name__)
    dataset.cache_dir = folder


def flush(dataset):
    """Waits until the disk entries that `dataset`'s cache made are written;
    returns at once for a dataset without a cache, or with a RAM one."""
    kept = dataset.__dict__.get("_image_cache")
    if kept is not None:
        kept.flush()


def _path(item):
    """A source as os.stat takes it: str or bytes as they are, an eager string tensor's bytes."""
    if isinstance(item, (str, bytes)):
        return item
    if hasattr(item, "numpy"):
        return item.numpy()
    return str(item)


def _stamp(paths):
    """(size, modification time in ns) of each file; (-1, -1) for one that is missing."""
    stamps = []
    for path in paths:
        try:
            status = os.stat(path)
        except OSError:
            stamps.append((-1, -1))
        else:
            stamps.append((status.st_size, status.st_mtime_ns))
    return tuple(stamps)


def _gib(size):
    return f"{size / 2**30:.2f} GiB"


class ImageCache:
    """Samples (tuples of NumPy arrays) kept by their source files.

    kind: "ram" (in this process's memory) or "disk" (one file per sample in
    `folder`). variant: text naming everything besides the source files that
    the kept arrays depend on. owner: the dataset, for messages.
    """

    def __init__(self, kind, variant, folder=DEFAULT_FOLDER, owner="dataset"):
        self.kind = checked_kind(kind, owner)
        self.variant = variant
        self.folder = os.fspath(folder)
        self.owner = owner
        self._entries = {}  # RAM: source paths -> (their sizes and times, arrays)
        self._lock = threading.Lock()
        self._write_failed = False
        self._pending = {}  # disk: entry path -> (sources, arrays) waiting for the writer
        self._writer = None
        self._written = threading.Condition(self._lock)  # notified when an entry waits or is written

    @property
    def kept_bytes(self):
        """Bytes of the arrays held in memory."""
        with self._lock:
            return sum(array.nbytes for _, arrays in self._entries.values() for array in arrays)

    def reserve(self, count, needed_bytes):
        """Checks, before filling, that `count` samples of `needed_bytes` in all
        fit in memory (RAM only); raises MemoryError saying what is needed
        against what is available when they do not."""
        if self.kind != "ram":
            return
        needed = max(0, needed_bytes - self.kept_bytes)
        if needed == 0:
            return
        available = psutil.virtual_memory().available
        if needed > available * (1.0 - _FREE_SHARE):
            raise MemoryError(
                f"{self.owner}: cache='ram' needs about {_gib(needed)} for the decoded images of {count} samples, "
                f"but only {_gib(available)} of memory is available (a tenth of it is left to training); "
                "use cache='disk', a smaller shape or fewer samples"
            )
        # The first epoch fills the cache as it loads, so its progress is the epoch's.
        print(
            f"{self.owner}: cache='ram' keeps the decoded images of {count} samples, about {_gib(needed)} "
            f"of {_gib(available)} available; the first epoch fills it",
            flush=True,
        )

    def fetch(self, sources, make):
        """The arrays kept for the sample made from the files `sources`, or
        `make()`'s (a tuple of arrays), which are then kept. Kept arrays are
        read-only: callers copy what they change."""
        paths = tuple(_path(source) for source in sources)
        stamps = _stamp(paths)
        if self.kind == "ram":
            held = self._entries.get(paths)
            if held is not None and held[0] == stamps:
                return held[1]
            arrays = tuple(_kept(array) for array in make())
            with self._lock:
                self._entries[paths] = (stamps, arrays)
            return arrays
        sources = [[os.path.abspath(os.fsdecode(path)), *stamp] for path, stamp in zip(paths, stamps)]
        path = self._entry_path(sources)
        with self._lock:
            pending = self._pending.get(path)
        if pending is not None and pending[0] == sources:
            return pending[1]
        arrays = self._read(path, sources)
        if arrays is None:
            arrays = tuple(_kept(array) for array in make())
            self._queue_write(path, sources, arrays)
        return arrays

    def flush(self):
        """Waits until the disk entries made so far are written."""
        with self._written:
            self._written.wait_for(lambda: not self._pending)

    def _queue_write(self, path, sources, arrays):
        with self._lock:
            if self._write_failed or len(self._pending) >= _MAX_PENDING_WRITES:
                return
            self._pending[path] = (sources, arrays)
            if self._writer is None:
                # Not a daemon: an entry being written when the program ends
                # is finished, not left as a temporary file. The thread ends
                # soon after nothing waits, so it barely holds up the exit.
                self._writer = threading.Thread(target=self._write_pending, name="image cache writer")
                self._writer.start()
            else:
                self._written.notify_all()

    def _write_pending(self):
        while True:
            with self._written:
                if not self._pending:
                    self._written.wait(_WRITER_IDLE_SECONDS)
                if not self._pending:
                    self._writer = None
                    return
                path, waiting = next(iter(self._pending.items()))
            try:
                self._write(path, *waiting)
            except BaseException:
                # This thread ends: nothing may wait for it (the entries are made again when next asked for).
                with self._written:
                    self._pending.clear()
                    self._writer = None
                    self._written.notify_all()
                raise
            with self._written:
                if self._pending.get(path) is waiting:  # not a newer entry for the same path
                    del self._pending[path]
                if self._write_failed:
                    self._pending.clear()
                self._written.notify_all()

    # Disk entries: magic, header length, JSON header (sources, variant,
    # arrays' dtypes and shapes, CRC-32C of the payload), the arrays' bytes.
    # `sources`: [absolute path, size, modification time] of each source file.

    def _entry_path(self, sources):
        name = json.dumps([[path for path, _, _ in sources], self.variant])
        return os.path.join(self.folder, hashlib.sha256(name.encode("utf-8")).hexdigest()[:40] + ".sample")

    def _read(self, path, sources):
        try:
            with open(path, "rb") as stream:
                content = stream.read()
        except OSError:
            return None
        start = len(_MAGIC) + _HEADER_LENGTH.size
        if len(content) < start or not content.startswith(_MAGIC):
            return None
        (length,) = _HEADER_LENGTH.unpack_from(content, len(_MAGIC))
        try:
            header = json.loads(content[start : start + length])
            if header.get("sources") != sources or header.get("variant") != self.variant:
                return None
            payload = memoryview(content)[start + length :]
            if crc32c.crc32c(payload) != header["crc32c"]:
                return None
            arrays, offset = [], 0
            for dtype, shape in header["arrays"]:
                array = np.frombuffer(payload, np.dtype(dtype), int(np.prod(shape)), offset).reshape(shape)
                arrays.append(array)
                offset += array.nbytes
            if offset != len(payload):
                return None
        except (ValueError, KeyError, TypeError, AttributeError):  # a header damaged into other JSON
            return None
        return tuple(arrays)

    def _write(self, path, sources, arrays):
        # The arrays are C-contiguous, as _kept makes them: written as they are.
        header = {"sources": sources, "variant": self.variant}
        header["arrays"] = [[array.dtype.str, list(array.shape)] for array in arrays]
        crc = 0
        for array in arrays:
            crc = crc32c.crc32c(array, crc)
        header["crc32c"] = crc
        encoded = json.dumps(header).encode("utf-8")
        # Renamed into place once whole. Not flushed to disk first: after a
        # power loss an entry may come back empty or damaged, which its
        # checksum tells, and it is made again.
        temporary = temporary_path(path)
        try:
            os.makedirs(self.folder, exist_ok=True)
            with open(temporary, "wb") as stream:
                stream.write(_MAGIC + _HEADER_LENGTH.pack(len(encoded)) + encoded)
                for array in arrays:
                    stream.write(array.data)
            os.replace(temporary, path)
        except OSError as error:
            self._write_failed = True
            try:
                os.remove(temporary)
            except OSError:
                pass
            warnings.warn(
                f"{self.owner}: cannot write the image cache in {self.folder} ({error}); "
                "training goes on, decoding every image each epoch",
                stacklevel=1,
            )


def _kept(array):
    """`array` as the cache keeps it: read-only, in memory of its own (not a
    view that would hold a larger buffer alive), C-contiguous (as written)."""
    array = np.asarray(array)
    if not (array.flags.owndata and array.flags.c_contiguous):
        array = array.copy()
    array.flags.writeable = False
    return array
