"""One uvicorn worker on 127.0.0.1 serving the tiny app, bare or behind a gate.

Usage: python bench/serve.py {bare,native,baseline} [--max-seconds S]

Prints the port it listens on, then serves until SIGINT/SIGTERM or until --max-seconds have
passed, so a server whose parent vanished does not linger.
"""
import argparse
import pathlib
import socket
import sys
import threading

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import cases  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("impl", choices=cases.IMPLS)
    parser.add_argument("--max-seconds", type=float, default=600.0)
    args = parser.parse_args()

    import uvicorn

    app = cases.tiny_app
    if args.impl != "bare":
        app = cases.load_gates()[args.impl].ApiKeyWardgate(app, api_key=cases.KEY)

    # IPPROTO_TCP spelled out: asyncio turns Nagle off only for sockets that say TCP, and with
    # Nagle on, uvicorn's two writes per response meet delayed ACKs (40 ms per keep-alive request).
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    # Listening before the port is announced: early connections wait in the backlog.
    sock.listen(2048)
    config = uvicorn.Config(app, host="127.0.0.1", log_level="warning", log_config=None,
                            access_log=False, lifespan="off", backlog=2048)
    server = uvicorn.Server(config)
    watchdog = threading.Timer(args.max_seconds, lambda: setattr(server, "should_exit", True))
    watchdog.daemon = True
    watchdog.start()
    print(sock.getsockname()[1], flush=True)
    server.run(sockets=[sock])


if __name__ == "__main__":
    main()
