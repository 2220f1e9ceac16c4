import math
import os
import pathlib
import struct

import numpy as np
import pytest

import zetrion
from zetrion import Circuit

from zetrion_tools.training import eisnn  # noqa: E402

MODELS = ["rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l", "randles", "sei_randles", "sei_randles_wo"]
QUOTED = ", ".join(f"'{m}'" for m in MODELS)


def spectrum(notation, values, n=40, lo=0.01, hi=1e5, noise=0.0, seed=0):
    f = np.geomspace(hi, lo, n)
    z = Circuit(notation).with_values(values).impedance(f)
    if noise:
        rng = np.random.default_rng(seed)
        z = z * (1 + noise * (rng.normal(size=n) + 1j * rng.normal(size=n)))
    return f, z


def model_file(tmp_path, notation, name="m.eisnn", seed=1, channels=16, **kw):
    meta, tensors = eisnn.random_model(notation, Circuit(notation).param_names(), channels=channels, seed=seed, **kw)
    path = tmp_path / name
    path.write_bytes(eisnn.write_eisnn(meta, tensors))
    return str(path)


def reference(path, f, z):
    meta, tensors = eisnn.read_eisnn(pathlib.Path(path).read_bytes())
    return eisnn.predict(meta, tensors, f, z)


def test_ml_circuits_lists_the_models():
    assert Circuit.ml_circuits() == MODELS
    assert Circuit("randles").ml_circuits() == MODELS
    assert Circuit.guess.__text_signature__ == "($self, frequencies, impedances=None, weights=None)"
    assert Circuit.guess.__doc__.splitlines()[0] == "Machine-learning guess of starting parameters for this circuit's"


@pytest.mark.parametrize(
    "notation,values,channels",
    [
        ("R0-(R1,C1)", [10, 100, 1e-5], 16),
        ("L0-R0-(R1,CPE1)", [1e-6, 5, 200, 2e-5, 0.85], 32),
        ("R0-(R1-W1,CPE1)", [12, 85, 40, 2.2e-5, 0.88], 32),
        ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", [8, 40, 1e-5, 0.9, 300, 50, 2, 1e-3, 0.7], 32),
    ],
)
def test_guess_matches_the_reference_network(tmp_path, notation, values, channels):
    path = model_file(tmp_path, notation, channels=channels)
    for seed, noise in enumerate([0.0, 0.02, 0.05]):
        f, z = spectrum(notation, values, noise=noise, seed=seed)
        got = Circuit(notation).guess(f, z, weights=path)
        want = reference(path, f, z)
        assert len(got) == len(Circuit(notation).param_names())
        assert got == pytest.approx(want, rel=1e-9)


def test_guess_reads_frames_and_either_order(tmp_path):
    path = model_file(tmp_path, "R0-(R1,C1)")
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    c = Circuit("R0-(R1,C1)")
    frame = {"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
    assert c.guess(frame, weights=path) == c.guess(f, z, weights=path)
    ascending = c.guess(f[::-1], z[::-1], weights=path)
    assert ascending == pytest.approx(c.guess(f, z, weights=path), rel=1e-12)


def test_labels_and_order_do_not_matter(tmp_path):
    path = model_file(tmp_path, "R0-(R1,C1)")
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    r0, r1, c1 = Circuit("R0-(R1,C1)").guess(f, z, weights=path)
    assert Circuit("(R1,C2)-R3").guess(f, z, weights=path) == [r1, c1, r0]
    assert Circuit("(C5,R2)-R0").guess(f, z, weights=path) == [c1, r1, r0]


def test_expanded_elements_get_their_own_parameters(tmp_path):
    rc = model_file(tmp_path, "R0-(R1,C1)", "rc.eisnn")
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    r0, r1, c1 = Circuit("R0-(R1,C1)").guess(f, z, weights=rc)
    assert Circuit("R0-K1").guess(f, z, weights=rc) == pytest.approx([r0, r1, r1 * c1], rel=1e-15)
    rq = model_file(tmp_path, "R0-(R1,CPE1)", "rq.eisnn")
    r0, r1, q, a = Circuit("R0-(R1,CPE1)").guess(f, z, weights=rq)
    assert Circuit("R0-Zarc1").guess(f, z, weights=rq) == pytest.approx([r0, r1, (r1 * q) ** (1 / a), a], rel=1e-12)


def test_guess_errors(tmp_path):
    path = model_file(tmp_path, "R0-(R1,C1)", "a.eisnn")
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    with pytest.raises(ValueError) as info:
        Circuit("L0-R0").guess(f, z, weights=path)
    assert str(info.value) == (
        f'weight file has an unparsable value for "{path} was trained for \\"R0-(R1,C1)\\", which is a different circuit"'
    )
    with pytest.raises(ValueError) as info:
        Circuit("R0-T1").guess([], [])
    assert str(info.value) == "No training data on this circuit. Machine-learning based initial parameters available for " + QUOTED
    with pytest.raises(ValueError, match="^need at least 2 frequency points to guess, got 1$"):
        Circuit("R0-(R1,C1)").guess([1.0], [1 + 1j], weights=path)
    with pytest.raises(ValueError, match=r"^reading weights: No such file or directory \(os error 2\)$"):
        Circuit("R0").guess(f, z, weights=str(tmp_path / "none.eisnn"))
    with pytest.raises(ValueError, match=r"^reading weights: Is a directory \(os error 21\)$"):
        Circuit("R0").guess(f, z, weights=str(tmp_path))
    with pytest.raises(ValueError, match="^reading weights: file name contained an unexpected NUL byte$"):
        Circuit("R0").guess(f, z, weights="a\0b")
    with pytest.raises(TypeError, match="^argument 'weights': "):
        Circuit("R0").guess(f, z, weights=5)
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        Circuit("R0").guess([1.0, 2.0], [1j], weights=path)


def test_external_weights_are_read_once_per_path_text(tmp_path):
    path = model_file(tmp_path, "R0-(R1,C1)", "once.eisnn", seed=3)
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    first = Circuit("R0-(R1,C1)").guess(f, z, weights=path)
    model_file(tmp_path, "R0-(R1,C1)", "once.eisnn", seed=4)  # rewritten on disk
    assert Circuit("R0-(R1,C1)").guess(f, z, weights=path) == first
    other_text = str(tmp_path) + "/./once.eisnn"
    assert Circuit("R0-(R1,C1)").guess(f, z, weights=other_text) != first


# ---- the weight-file loader -------------------------------------------------


def load_error(tmp_path, blob, name="bad.eisnn"):
    p = tmp_path / name
    p.write_bytes(blob)
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    with pytest.raises(ValueError) as info:
        Circuit("R0-(R1,C1)").guess(f, z, weights=str(p))
    return str(info.value)


def blob_with(meta_changes=None, tensor_changes=None, drop=(), encodings=None, notation="R0-(R1,C1)"):
    meta, tensors = eisnn.random_model(notation, Circuit(notation).param_names())
    meta.update(meta_changes or {})
    tensors.update(tensor_changes or {})
    for k in drop:
        meta.pop(k, None)
        tensors.pop(k, None)
    return eisnn.write_eisnn(meta, tensors, encodings)


def test_loader_framing_errors(tmp_path):
    assert load_error(tmp_path, b"EISNN00", "a") == "weight file is truncated"
    assert load_error(tmp_path, b"EISNN002", "b") == "not an eisnn weight file (bad magic bytes)"
    assert load_error(tmp_path, b"EISNN001", "c") == "weight file is truncated"
    assert load_error(tmp_path, b"EISNN001" + struct.pack("<II", 0, 0), "d") == 'weight file is missing "target_mean"'
    good = blob_with()
    for cut in (9, 20, 200, len(good) - 1):
        assert load_error(tmp_path, good[:cut], f"cut{cut}") == "weight file is truncated"
    # A length field that points far past the end.
    huge = b"EISNN001" + struct.pack("<II", 1, 0xFFFFFFFF)
    assert load_error(tmp_path, huge, "huge") == "weight file is truncated"
    bad_utf8 = b"EISNN001" + struct.pack("<II", 1, 1) + b"\xff" + struct.pack("<I", 0)
    assert load_error(tmp_path, bad_utf8, "utf8") == "weight file is truncated"


def test_loader_metadata_rules(tmp_path):
    assert "missing \"dilations\"" in load_error(tmp_path, blob_with(drop=["dilations"]), "m1")
    assert load_error(tmp_path, blob_with({"dilations": "1,,2"}), "d1") == 'weight file has an unparsable value for "dilations"'
    assert load_error(tmp_path, blob_with({"dilations": "1,2,"}), "d2") == 'weight file has an unparsable value for "dilations"'
    assert load_error(tmp_path, blob_with({"dilations": "-1"}), "d3") == 'weight file has an unparsable value for "dilations"'
    assert load_error(tmp_path, blob_with({"dilations": ""}), "d4") == 'weight file has an unparsable value for "dilations"'
    assert load_error(tmp_path, blob_with({"n_grid": " 64"}), "n1") == 'weight file has an unparsable value for "n_grid"'
    assert load_error(tmp_path, blob_with({"n_grid": "64.0"}), "n2") == 'weight file has an unparsable value for "n_grid"'
    assert load_error(tmp_path, blob_with({"alpha_max": " 1"}), "a1") == 'weight file has an unparsable value for "alpha_max"'
    assert load_error(tmp_path, blob_with({"estimator": "median"}), "e1") == (
        'weight file was normalised with the "median" scale estimator, which this build does not implement '
        "(supported: reactive_centroid)"
    )
    assert load_error(tmp_path, blob_with(drop=["estimator"]), "e2") == 'weight file is missing "estimator"'
    # Accepted spellings load and run.
    for i, changes in enumerate([{"dilations": "1, 2,4 ,8", "n_grid": "+64"}, {"alpha_min": "5e-2", "alpha_max": "+1."}]):
        p = tmp_path / f"ok{i}.eisnn"
        p.write_bytes(blob_with(changes))
        f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
        assert len(Circuit("R0-(R1,C1)").guess(f, z, weights=str(p))) == 3


def test_loader_tensor_rules(tmp_path):
    msg = load_error(tmp_path, blob_with(tensor_changes={"scaling": np.zeros(11)}), "s1")
    assert msg == 'tensor "scaling" has 11 elements, expected 12'
    assert load_error(tmp_path, blob_with(drop=["scaling"]), "s2") == 'weight file is missing "scaling"'
    assert load_error(tmp_path, blob_with(drop=["log_params"]), "s3") == 'weight file is missing "log_params"'
    msg = load_error(tmp_path, blob_with(encodings={"w.stem.bias": 3}), "enc")
    assert msg == "weight file uses tensor encoding 3, which this build does not know"
    # A missing network tensor shows only when the network runs.
    msg = load_error(tmp_path, blob_with(drop=["w.blocks.3.norm2.bias"]), "t1")
    assert msg == 'weight file is missing "w.blocks.3.norm2.bias"'
    msg = load_error(tmp_path, blob_with({"dilations": "1,2,4,8,16"}), "t2")
    assert msg == 'weight file is missing "w.blocks.4.conv1.weight"'
    msg = load_error(tmp_path, blob_with(tensor_changes={"w.head.0.weight": np.zeros((64, 33))}), "t3")
    assert msg == 'tensor "head.0" has 34 elements, expected 33'


def test_loader_encodings_and_layout(tmp_path):
    # Scaled int8: scale 0.5 with bytes 0x02, 0xFE gives 1.0 and -1.0 (here as target_mean of a 2-parameter
    # circuit whose network is otherwise fine).
    meta, tensors = eisnn.random_model("R0-R1", ["R0.r", "R1.r"])
    blob = eisnn.write_eisnn(meta, {k: v for k, v in tensors.items() if k != "target_mean"})
    record = (
        struct.pack("<I", 11) + b"target_mean" + bytes([2, 1]) + struct.pack("<I", 2) + struct.pack("<f", 0.5) + bytes([0x02, 0xFE])
    )
    count_at = blob.index(b"\x0dw.stem.weight"[1:]) - 4 - 4  # tensor count precedes the first record
    (count,) = struct.unpack_from("<I", blob, count_at)
    blob = blob[:count_at] + struct.pack("<I", count + 1) + blob[count_at + 4 :] + record + b"trailing bytes"
    p = tmp_path / "int8.eisnn"
    p.write_bytes(blob)
    meta2, tensors2 = eisnn.read_eisnn(blob)
    assert list(tensors2["target_mean"]) == [1.0, -1.0]
    f, z = spectrum("R0-R1", [3, 4])
    assert Circuit("R0-R1").guess(f, z, weights=str(p)) == pytest.approx(eisnn.predict(meta2, tensors2, f, z), rel=1e-9)


def test_repeated_keys_and_tensors_keep_the_later(tmp_path):
    meta, tensors = eisnn.random_model("R0-(R1,C1)", Circuit("R0-(R1,C1)").param_names())
    first = eisnn.write_eisnn(dict(meta, circuit="L0-R0"), tensors)
    # Append a second "circuit" entry: patch the metadata count and insert the entry after the first ones.
    (m,) = struct.unpack_from("<I", first, 8)
    pos = 12
    for _ in range(2 * m):
        (n,) = struct.unpack_from("<I", first, pos)
        pos += 4 + n
    extra = struct.pack("<I", 7) + b"circuit" + struct.pack("<I", 10) + b"R0-(R1,C1)"
    blob = first[:8] + struct.pack("<I", m + 1) + first[12:pos] + extra + first[pos:]
    p = tmp_path / "twice.eisnn"
    p.write_bytes(blob)
    f, z = spectrum("R0-(R1,C1)", [10, 100, 1e-5])
    assert len(Circuit("R0-(R1,C1)").guess(f, z, weights=str(p))) == 3


def test_half_precision_values_are_exact(tmp_path):
    # The module decodes half-precision tensors to the same doubles as the
    # training side's reader: its guess equals the reference network's on
    # the decoded tensors. Special values that stay finite are exact.
    notation, values = "R0-(R1,C1)", [10, 100, 1e-5]
    meta, tensors = eisnn.random_model(notation, Circuit(notation).param_names())
    special = np.array([6.0e-8, -6.1e-5, 65504.0, 0.0, -0.0, 1.0 / 3.0])
    tensors["w.stem.bias"] = np.concatenate([special, tensors["w.stem.bias"][len(special) :]])
    blob = eisnn.write_eisnn(meta, tensors, {k: 1 for k in tensors if k.startswith("w.")})
    _, back = eisnn.read_eisnn(blob)
    assert np.array_equal(back["w.stem.bias"][:6], special.astype(np.float16).astype(np.float64))
    p = tmp_path / "half.eisnn"
    p.write_bytes(blob)
    f, z = spectrum(notation, values)
    assert Circuit(notation).guess(f, z, weights=str(p)) == pytest.approx(reference(p, f, z), rel=1e-9)
    # Infinities and NaN, which half precision can carry, are refused.
    for i, bad in enumerate([np.inf, -np.inf, np.nan]):
        tensors["w.stem.bias"][0] = bad
        q = tmp_path / f"bad{i}.eisnn"
        q.write_bytes(eisnn.write_eisnn(meta, tensors, {"w.stem.bias": 1}))
        with pytest.raises(ValueError, match=r'non-finite value \(NaN or infinity\) in "w.stem.bias"'):
            Circuit(notation).guess(f, z, weights=str(q))
