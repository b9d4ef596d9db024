import pytest

from corpus import corpus_files


@pytest.fixture(scope="session")
def corpus():
    files = corpus_files()
    if not files:
        pytest.skip("the shared corpus is not beside the checkout")
    return files
