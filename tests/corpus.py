"""The shared corpus beside the checkout, for round-trip tests."""

import pathlib

CORPUS = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def corpus_files() -> list[pathlib.Path]:
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name != "README.md")
