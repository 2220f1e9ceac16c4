"""Train the guesser network for any circuit topology.

``zetrion-train "R0-(R1,C1)-(R2-Wo1,C2)" --minutes 20 --out my.eisnn`` draws
spectra of the circuit, trains a network in the EISNN001 format within the
time budget (resumable), evaluates it on held-out spectra and writes a weight
file for ``Circuit.guess(f, z, weights="my.eisnn")`` and
``Circuit.fit(f, z, weights="my.eisnn")``.

Submodules: `spectra` (drawing rules), `features` (network inputs and
targets), `eisnn` (the weight format and a NumPy reference of the network),
`model` (the network in PyTorch), `train`, `evaluate` and `cli`. Only
`model` and `train.train` need PyTorch (``pip install '.[train]'``).
"""

from __future__ import annotations
