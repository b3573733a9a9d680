"""Run by scripts/python-wheel-test.sh with an installed package, from
outside the checkout, against a simulated device at the given address:

    python installed_check.py ADDRESS [--numpy] [--editable CHECKOUT]

Exits non-zero with a message at the first thing that is not as it should be.
"""

import array
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "support"))
from loopback_fixtures import address as fixture_address  # noqa: E402


def main() -> int:
    address = sys.argv[1]
    want_numpy = "--numpy" in sys.argv[2:]
    editable = sys.argv[sys.argv.index("--editable") + 1] if "--editable" in sys.argv else None
    import velmora

    package = Path(velmora.__file__).resolve().parent
    library = Path(velmora.load_library().path).resolve()
    if editable:
        expected = Path(editable).resolve() / "python" / "velmora"
        assert package == expected, "imported from %s, not %s" % (package, expected)
    else:
        assert "site-packages" in package.parts, "imported from %s, not the environment" % package
    assert library.parent == package, "library %s is not the package's own" % library
    assert (package / "py.typed").exists(), "py.typed is missing"
    assert velmora.have_numpy() == want_numpy, "numpy present: %s" % velmora.have_numpy()

    with velmora.Device(address, "input", 0) as dev:
        times, samples = dev.acquire(0.2, frequency=50_000, bits=16, block_size=256)
        assert len(samples) == len(times) == 10_000, len(samples)
        assert [int(v) for v in samples[:3]] == [0, 1, 2]
        if not want_numpy:
            assert isinstance(samples, array.array), type(samples)
        else:
            import numpy
            assert isinstance(samples, numpy.ndarray) and samples.dtype == numpy.uint16
            assert (samples == numpy.arange(10_000, dtype=numpy.uint16)).all()
        lost = sum(block.lost for block in dev.stream(0.2))
        assert lost == 0, "%d samples lost" % lost

    with velmora.Device(address, "output", 1) as out, velmora.Device(address, "input", 1) as inp:
        assert out.write_data(b"round trip") == 10
        target = bytearray(32)
        assert inp.read_into(target) == 10 and target[:10] == b"round trip"

    try:
        velmora.Device(fixture_address(15, 251), "input", 0)
    except velmora.ConnectError as error:
        assert fixture_address(15, 251) + " port 60688" in str(error), str(error)
    else:
        raise AssertionError("connecting where nothing listens succeeded")
    print("installed package OK: %s (library %s, numpy %s)"
          % (package, library.name, "yes" if want_numpy else "no"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
