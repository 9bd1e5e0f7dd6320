"""What the orvinfo program tests share: running the program, scratch folders, arguments."""
import argparse
import os
import resource
import shutil
import subprocess
import tempfile

ENV = dict(os.environ, LC_ALL="C.UTF-8")


def run(program, args, cwd, runner=None, limit_file_size=None):
    """Runs one orvinfo command in `cwd` (through `runner`, the Wine launcher, for the Windows
    build); returns (status, stdout bytes, stderr text)."""
    cmd = ([runner] if runner else []) + [program] + args

    def limit():
        if limit_file_size is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_size, limit_file_size))

    done = subprocess.run(cmd, cwd=cwd, env=ENV, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=120, preexec_fn=limit)
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")


class Folder:
    """A scratch folder, removed by close()."""

    def __init__(self, prefix):
        self.path = tempfile.mkdtemp(prefix=prefix)

    def file(self, name):
        return os.path.join(self.path, name)

    def put(self, name, data):
        with open(self.file(name), "wb") as f:
            f.write(data)
        return self.file(name)

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read()

    def names(self):
        return sorted(os.listdir(self.path))

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


def parse_args():
    """ORVINFO [--runner WINE_RUN] [--native NATIVE_ORVINFO], program paths made absolute:
    the programs run in scratch folders."""
    parser = argparse.ArgumentParser()
    parser.add_argument("orvinfo")
    parser.add_argument("--runner")
    parser.add_argument("--native")
    args, _ = parser.parse_known_args()
    args.orvinfo = os.path.abspath(args.orvinfo)
    if args.native:
        args.native = os.path.abspath(args.native)
    return args
