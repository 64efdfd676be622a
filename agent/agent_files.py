"""The files the agent shares with the launcher and the receivers.

Everything lies in the per-user folder `<data root>/Tessaryn/`; the receivers run in its `runtime`
folder and publish under `runtime/app/static/`. The data root is found by the launcher's rule, so
that both name the same folder.
"""

import os
import tempfile


def data_root(environ=None):
    """LOCALAPPDATA, else $XDG_DATA_HOME, else ~/.local/share; only absolute values count."""
    environ = os.environ if environ is None else environ
    for name in ("LOCALAPPDATA", "XDG_DATA_HOME"):
        value = environ.get(name, "")
        if value.startswith("/"):
            return value
    home = environ.get("HOME", "")
    if home.startswith("/"):
        return os.path.join(home, ".local", "share")
    return None


class AgentFiles:
    def __init__(self, root):
        self.folder = os.path.join(root, "Tessaryn")
        self.page_url = os.path.join(self.folder, "tessaryn-url")
        self.version = os.path.join(self.folder, "tessaryn-version.txt")
        self.settings = os.path.join(self.folder, "agent-settings.json")
        self.runtime = os.path.join(self.folder, "runtime")
        self.static = os.path.join(self.runtime, "app", "static")
        # The agent's own copy of the preview it read, so that every zone of one reading comes from
        # the same frame even while the receiver replaces its preview.
        self.snapshot = os.path.join(self.folder, "agent-snapshot.jpg")

    def published(self, name):
        return os.path.join(self.static, name)

    def make_folders(self):
        os.makedirs(self.static, mode=0o700, exist_ok=True)


def write_atomically(path, data, mode=0o644, sync=True):
    """Replaces `path` with `data` so that a reader sees the old or the new content, never a part.
    With `sync` the content is on disk before the rename, so that a crash leaves the old or the new.

    The launcher reads the page address at any moment; half of "http://127.0.0.1:8080" is
    "http://127.0.0.1:80", which it would accept and open.
    """
    if isinstance(data, str):
        data = data.encode("utf-8")
    folder = os.path.dirname(path) or "."
    descriptor, temporary = tempfile.mkstemp(prefix=".tmp-", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(data)
            stream.flush()
            if sync:
                os.fsync(stream.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def file_identity(path):
    """(stat result, identity) of a file, or (None, None) when it does not exist. The identity
    changes whenever the file is replaced or rewritten: inode, modification time and size."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return None, None
    return info, (info.st_ino, info.st_mtime_ns, info.st_size)
