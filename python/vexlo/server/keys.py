"""Manage the API keys of the embedded account backend.

    python -m vexlo.server.keys add --email alice@example.com [--user-id U] [--allowed-tools a,b] [--permission-enabled]
    python -m vexlo.server.keys list
    python -m vexlo.server.keys revoke ID_OR_PREFIX

``add`` prints the new key once; the store keeps only its hash. ``list`` never prints keys.
``--data-dir`` (before or after the command; default: VEXLO_DATA_DIR, else ./data) is resolved
as the server resolves it, so both find the same store.
"""
from __future__ import annotations

import argparse
import os
import sqlite3
import sys
from collections.abc import Sequence
from typing import NoReturn

from vexlo.server.keystore import KeyRecord, KeyStore, KeyStoreError
from vexlo.server.settings import ENV_DATA_DIR, resolve_data_dir


def program_name(module: str) -> str:
    """The program as the user ran it: ``vexlo-keys``/``vexlo-serve``, else ``python -m <module>``."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if not name or name.endswith(".py") or name == "-c":
        return f"python -m {module}"
    return name


class OneLineParser(argparse.ArgumentParser):
    """Usage errors as one line on stderr, like every other error of these commands."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def _describe(record: KeyRecord) -> str:
    tools = ",".join(record.allowed_tools) if record.allowed_tools is not None else "*"
    state = "revoked" if record.revoked else "active"
    permission = "on" if record.permission_enabled else "off"
    return (f"{record.id:>4}  {record.prefix:<8}  {state:<7}  {record.created_at}  {record.user_id}  "
            f"{record.email}  tools={tools}  permission={permission}")


def build_parser() -> argparse.ArgumentParser:
    data_dir_help = f"key store folder, as the server's --data-dir (default: ${ENV_DATA_DIR}, else ./data)"
    common = OneLineParser(add_help=False)
    # SUPPRESS: an absent option after the command must not undo one given before it.
    common.add_argument("--data-dir", default=argparse.SUPPRESS, help=data_dir_help)
    parser = OneLineParser(prog=program_name("vexlo.server.keys"), description="Manage vexlo API keys.")
    parser.add_argument("--data-dir", help=data_dir_help)
    sub = parser.add_subparsers(dest="command", required=True, parser_class=OneLineParser)
    add = sub.add_parser("add", parents=[common], help="create a key and print it once")
    add.add_argument("--email", required=True)
    add.add_argument("--user-id", help="account id (default: derived from the e-mail)")
    add.add_argument("--allowed-tools", help="comma-separated tool names (default: no list)")
    add.add_argument("--permission-enabled", action="store_true",
                     help="enforce the allowed tools list for this account")
    sub.add_parser("list", parents=[common], help="list keys (never shows the keys themselves)")
    revoke = sub.add_parser("revoke", parents=[common], help="revoke a key by id or prefix")
    revoke.add_argument("ident", metavar="ID_OR_PREFIX")
    return parser


def run(args: argparse.Namespace, prog: str) -> int:
    folder = resolve_data_dir(args.data_dir)
    store = KeyStore(folder)
    if args.command == "add":
        # Only adding a key may create a store: a listing in the wrong folder must not leave an
        # empty store (and folders) behind and report "no keys" as if all were well.
        store.initialise()
    elif not store.path.is_file():
        raise KeyStoreError(f"there is no key store in {folder}; '{prog} add' creates one")
    if args.command == "add":
        tools = None
        if args.allowed_tools is not None:
            tools = [t.strip() for t in args.allowed_tools.split(",") if t.strip()]
        record, key = store.add(args.email, user_id=args.user_id, allowed_tools=tools,
                                permission_enabled=args.permission_enabled)
        print(f"created key {record.id} for {record.email} (user {record.user_id}); it is shown only now:")
        print(key)
    elif args.command == "list":
        records = store.list_keys()
        if not records:
            print("no keys")
        for record in records:
            print(_describe(record))
    else:
        record = store.revoke(args.ident)
        print(f"revoked key {record.id} ({record.prefix}, {record.email})")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return run(args, parser.prog)
    except (KeyStoreError, sqlite3.Error, OSError) as exc:
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
