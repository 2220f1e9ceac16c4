# The built-in models against the training pipeline: the same half-precision
# weights run by the PyTorch network in double precision on the features
# computed by the training code must give the module's guesses. This also
# checks that the training features equal the module's features.
import pathlib
import sys

import numpy as np
import pytest

import zetrion

torch = pytest.importorskip("torch")

ROOT = pathlib.Path(__file__).resolve().parents[2]
WEIGHTS = ROOT / "weights"
from zetrion_tools.training import eisnn  # noqa: E402
from zetrion_tools.training import features as feat  # noqa: E402
from zetrion_tools.training import spectra  # noqa: E402
from zetrion_tools.training.model import GuesserNet  # noqa: E402
from zetrion_tools.training.train import MODELS  # noqa: E402

PRESENT = [n for n in MODELS if (WEIGHTS / f"{n}.eisnn").exists()]


def torch_guess(meta, tensors, f, z):
    names = meta["param_names"].split(",")
    p = len(names)
    net = GuesserNet(p, int(meta["channels"]), int(meta["kernel"]), [int(d) for d in meta["dilations"].split(",")], int(meta["groups"]))
    net.load_state_dict({k[2:]: torch.tensor(v) for k, v in tensors.items() if k.startswith("w.")})
    net = net.double().eval()
    fmap, e, r, omega = feat.features(f, z, int(meta["n_grid"]))
    with torch.no_grad():
        out = net(torch.tensor(fmap)[None], torch.tensor(e)[None])[0, :p].numpy()
    y = out * tensors["target_std"] + tensors["target_mean"]
    logs = tensors["log_params"] != 0
    v = np.where(logs, 10.0**y, np.clip(y, float(meta["alpha_min"]), float(meta["alpha_max"])))
    u = v.copy()
    for j, row in enumerate(tensors["scaling"].reshape(-1, 4)):
        ai = int(round(row[3]))
        ex = row[1] + (row[2] * u[ai] if ai >= 0 else 0.0)
        v[j] = omega**ex * (u[j] * r ** row[0])
    return v


@pytest.mark.skipif(not PRESENT, reason="no built-in weights in this checkout")
@pytest.mark.parametrize("name", PRESENT)
def test_builtin_guess_equals_the_training_pipeline(name):
    notation = MODELS[name][0]
    meta, tensors = eisnn.read_eisnn((WEIGHTS / f"{name}.eisnn").read_bytes())
    assert meta["circuit"] == notation
    c = zetrion.Circuit(name)
    for s in spectra.draw(notation, 60, seed=424242):
        got = c.guess(s.f, s.z)
        want = torch_guess(meta, tensors, s.f, s.z)
        assert got == pytest.approx(list(want), rel=1e-9)


def test_every_builtin_blob_loads_and_matches_its_circuit():
    for name in PRESENT:
        blob = (WEIGHTS / f"{name}.eisnn").read_bytes()
        meta, tensors = eisnn.read_eisnn(blob)
        assert meta["param_names"].split(",") == zetrion.Circuit(MODELS[name][0]).param_names()
        assert list(meta) == eisnn.META_ORDER
        assert int(meta["channels"]) == MODELS[name][1]
