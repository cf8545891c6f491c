"""``kavro serve``: its arguments, and running ``App`` under uvicorn on a socket bound first.

Binding before anything else makes a taken port a one-line error; the signal handling replaces
uvicorn's so that SIGTERM and SIGINT end in a checkpoint and exit status 0.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import socket
import sys
import threading
from collections.abc import Iterator
from typing import Any


def add_parser(sub: Any) -> None:
    """Adds the ``serve`` subcommand to the subparsers ``sub``."""
    sp = sub.add_parser(
        "serve",
        help="learn and predict over HTTP; nothing acknowledged is ever lost",
        description="Serve a model over HTTP: POST /predict, /label, /learn, /batch; GET /model, /metrics, "
                    "/health, /openapi.json. Learning is logged to disk before it is acknowledged.",
        epilog="Example: kavro serve --model NaiveBayes --state-dir ./nb-state --token-file token.txt",
    )
    sp.add_argument("--model", required=True, metavar="NAME[:k=v,...]", help="model class and parameters")
    sp.add_argument("--pre", action="append", default=[], metavar="NAME[:k=v,...]",
                    help="transformer run before the model, in a pipeline (repeatable)")
    sp.add_argument("--keyed", action="store_true", help="one model per key (each request names its key)")
    sp.add_argument("--ray", metavar="ADDRESS",
                    help="with --keyed: hold the models on the actors of the Ray cluster at ADDRESS "
                         "('local' starts one; needs kavro[distributed])")
    sp.add_argument("--state-dir", required=True, metavar="DIR",
                    help="folder of the write-ahead log and checkpoints (made with mode 0700)")
    sp.add_argument("--host", default="127.0.0.1", help="address to listen on (default: the loopback)")
    sp.add_argument("--port", type=int, default=8000, help="port to listen on (0: any free port)")
    token = sp.add_mutually_exclusive_group()
    token.add_argument("--token", metavar="TOKEN", help="bearer token every endpoint but /health needs")
    token.add_argument("--token-file", metavar="PATH", help="read the bearer token from this file")
    sp.add_argument("--checkpoint-every", type=int, default=100_000, metavar="N",
                    help="checkpoint (and empty the log) every N learnt events (default 100000)")
    sp.add_argument("--max-body", type=int, default=32 << 20, metavar="BYTES",
                    help="largest request body (default 32 MiB)")
    sp.add_argument("--max-pending", type=int, default=100_000, metavar="N",
                    help="served predictions kept for their label (default 100000)")
    sp.add_argument("--label-ttl", type=float, default=3600.0, metavar="SECONDS",
                    help="how long a served prediction waits for its label (default 3600)")


def _token(args: argparse.Namespace, error: type[Exception]) -> str | None:
    if args.token_file is None:
        given: str | None = args.token
        if given is not None and not given.strip():
            raise error("--token is empty")
        return given
    try:
        with open(args.token_file, encoding="utf-8") as f:
            token = f.read().strip()
    except OSError as exc:
        raise error(f"cannot read --token-file {args.token_file}: {exc.strerror or exc}") from None
    if not token:
        raise error(f"--token-file {args.token_file} is empty")
    return token


def _bind(host: str, port: int, error: type[Exception]) -> socket.socket:
    # Declared TCP, so that asyncio sets TCP_NODELAY on each connection: without it a response
    # written in two parts waits for the client's delayed acknowledgement (40 ms).
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host, port))
        sock.listen(1024)
    except OSError as exc:
        sock.close()
        why = os.strerror(exc.errno) if exc.errno else str(exc)
        raise error(f"cannot listen on {host}:{port}: {why}") from None
    return sock


def _check(args: argparse.Namespace, error: type[Exception]) -> None:
    if args.checkpoint_every < 1:
        raise error(f"--checkpoint-every must be at least 1, got {args.checkpoint_every}")
    if args.max_body < 1:
        raise error(f"--max-body must be at least 1, got {args.max_body}")
    if args.max_pending < 0:
        raise error(f"--max-pending must be at least 0, got {args.max_pending}")
    if not args.label_ttl > 0:
        raise error("--label-ttl must be positive")
    if not 0 <= args.port <= 65535:
        raise error(f"--port must be from 0 to 65535, got {args.port}")
    if args.ray is not None and not args.keyed:
        raise error("--ray holds keyed models: it needs --keyed")


def cmd_serve(args: argparse.Namespace) -> int:
    from kavro import cli

    _check(args, cli.CLIError)
    try:
        import uvicorn

        from kavro.serve.app import App
    except ImportError as exc:
        raise cli.CLIError(f"kavro serve needs {exc.name or 'starlette and uvicorn'}: "
                           "pip install 'kavro[serve]'") from None
    from kavro.serve.state import StateError

    token = _token(args, cli.CLIError)
    label, model, _ = cli._make_models(argparse.Namespace(models=[cli.split_spec(args.model)], pre=args.pre))[0]
    if args.ray is not None:
        label = f"{label} on Ray"
    sock = _bind(args.host, args.port, cli.CLIError)
    try:
        try:
            app = App(model, args.state_dir, keyed=args.keyed, token=token,
                      checkpoint_every=args.checkpoint_every, max_body=args.max_body,
                      max_pending=args.max_pending, label_ttl=args.label_ttl, ray=args.ray,
                      description=label)
        except (StateError, ValueError, OSError, ConnectionError) as exc:
            raise cli.CLIError(str(exc)) from None
        except ImportError as exc:  # only --ray imports more
            raise cli.CLIError(f"--ray needs Ray ({exc.name or exc}): pip install 'kavro[distributed]'") from None
        host, port = sock.getsockname()[:2]
        print(f"kavro: serving {label} on http://{host}:{port} from {os.path.abspath(args.state_dir)} "
              f"(seq {app.seq}, {app.service.metrics.replayed} events replayed)", flush=True)
        if token is None and host not in ("127.0.0.1", "::1", "localhost"):
            print("kavro: warning: listening beyond the loopback without a token", file=sys.stderr, flush=True)
        config = uvicorn.Config(app, log_level="warning", access_log=False, lifespan="on")
        _server(config).run(sockets=[sock])
    finally:
        sock.close()
    if app.shutdown_error is not None:
        print(f"kavro: error: the final checkpoint failed: {app.shutdown_error}", file=sys.stderr)
        return 1
    return 0


def _server(config: Any) -> Any:
    """uvicorn's server, stopping on SIGTERM or SIGINT without raising the signal again after."""
    import uvicorn

    class Server(uvicorn.Server):
        @contextlib.contextmanager
        def capture_signals(self) -> Iterator[None]:
            if threading.current_thread() is not threading.main_thread():
                yield
                return
            handled = (signal.SIGINT, signal.SIGTERM)
            previous = {sig: signal.signal(sig, self.handle_exit) for sig in handled}
            try:
                yield
            finally:
                for sig, handler in previous.items():
                    signal.signal(sig, handler)

    return Server(config)
