"""A throw-away PostgreSQL server from Debian's packages, for tests and benchmarks.

``postgres_server()`` finds the server's programs (installing Debian's
``postgresql`` package with apt-get when they are missing and we are root),
creates a cluster in a new temporary folder owned by the unprivileged
``postgres`` user (or by the current user when that is not root), starts it
listening only on a unix socket in that folder, and yields its connection
details. The server is stopped and the folder removed when the ``with``
block ends, also when it ends with an exception.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

USER = "rerozer"
PASSWORD = "s3cret-test-password"
DATABASE = "shop"


class ServerUnavailable(RuntimeError):
    """The server's programs are missing and cannot be installed here."""


@dataclass(frozen=True)
class Server:
    socket_dir: str
    port: int
    data_dir: str

    def uri(self, password: str = PASSWORD, database: str = DATABASE, user: str = USER) -> str:
        return f"postgresql://{user}:{password}@/{database}?host={self.socket_dir}&port={self.port}"


def _binaries() -> Path | None:
    found = sorted(Path("/usr/lib/postgresql").glob("*/bin/initdb"), key=lambda p: int(p.parts[-3]))
    return found[-1].parent if found else None


def _install() -> Path:
    bin_dir = _binaries()
    if bin_dir is not None:
        return bin_dir
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        raise ServerUnavailable("PostgreSQL is not installed and apt-get cannot install it here (not root)")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for command in (["apt-get", "update", "-qq"], ["apt-get", "install", "-y", "-qq", "postgresql"]):
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            raise ServerUnavailable(f"{' '.join(command)} failed:\n{done.stderr[-2000:]}")
    bin_dir = _binaries()
    if bin_dir is None:
        raise ServerUnavailable("apt-get installed postgresql, but no initdb is under /usr/lib/postgresql")
    return bin_dir


def _server_env() -> dict[str, str]:
    """The environment without the sanitizer runtimes that ./dev asan preloads:
    the server's programs are not ours to check, and their reports would fail
    the run."""
    dropped = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    return {key: value for key, value in os.environ.items() if key not in dropped}


@contextlib.contextmanager
def postgres_server(port: int = 5432) -> Iterator[Server]:
    """Start a new server on a unix socket and yield it; stop it afterwards."""
    bin_dir = _install()
    root = Path(tempfile.mkdtemp(prefix="rerozer-pg-"))
    # initdb and postgres refuse to run as root: as root, they run as the
    # unprivileged user Debian's package creates, who owns the folder.
    as_user: list[str] = []
    if os.geteuid() == 0:
        as_user = ["runuser", "-u", "postgres", "--"]
        shutil.chown(root, "postgres", "postgres")
    data = root / "data"
    password_file = root / "password"
    password_file.write_text(PASSWORD + "\n")
    if as_user:
        shutil.chown(password_file, "postgres", "postgres")

    def run(*command: str) -> None:
        done = subprocess.run([*as_user, *command], capture_output=True, text=True, cwd=root, env=_server_env())
        if done.returncode != 0:
            log = root / "server.log"
            tail = log.read_text()[-2000:] if log.exists() else ""
            raise RuntimeError(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}{tail}")

    started = False
    try:
        run(
            str(bin_dir / "initdb"), "-D", str(data), "-U", USER, f"--pwfile={password_file}",
            "--auth=scram-sha-256", "-E", "UTF8", "--locale=C", "--no-sync",
        )
        # No TCP at all; durability is not wanted for a test database.
        options = (
            f"-k {root} -p {port} -c listen_addresses='' -c fsync=off "
            "-c synchronous_commit=off -c full_page_writes=off -c max_connections=20"
        )
        # Stopped in any case from here on: an interrupted start may leave a server.
        started = True
        run(str(bin_dir / "pg_ctl"), "-D", str(data), "-o", options, "-l", str(root / "server.log"), "-w", "start")
        run(
            "env", f"PGPASSWORD={PASSWORD}", str(bin_dir / "psql"), "-h", str(root), "-p", str(port),
            "-U", USER, "-d", "postgres", "-q", "-c", f"CREATE DATABASE {DATABASE}",
        )
        yield Server(str(root), port, str(data))
    finally:
        if started:
            subprocess.run(
                [*as_user, str(bin_dir / "pg_ctl"), "-D", str(data), "-m", "immediate", "-w", "stop"],
                capture_output=True, cwd=root, env=_server_env(),
            )
        shutil.rmtree(root, ignore_errors=True)
