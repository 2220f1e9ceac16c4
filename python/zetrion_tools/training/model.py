"""The guesser network in PyTorch, with the module's layer names and shapes
so that its state dict exports as is."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ._torch import require_torch

torch = require_torch()
nn = torch.nn


class Block(nn.Module):  # type: ignore[misc, name-defined]
    """One residual block: two dilated convolutions with group normalisation."""

    def __init__(self, h: int, k: int, d: int, groups: int) -> None:
        super().__init__()
        pad = d * (k - 1) // 2
        self.conv1 = nn.Conv1d(h, h, k, dilation=d, padding=pad)
        self.norm1 = nn.GroupNorm(groups, h, eps=1e-5)
        self.conv2 = nn.Conv1d(h, h, k, dilation=d, padding=pad)
        self.norm2 = nn.GroupNorm(groups, h, eps=1e-5)
        self.act = nn.GELU(approximate="tanh")

    def forward(self, x: Any) -> Any:
        h = self.act(self.norm1(self.conv1(x)))
        h = self.norm2(self.conv2(h))
        return self.act(x + h)


class GuesserNet(nn.Module):  # type: ignore[misc, name-defined]
    """Stem convolution, residual blocks, mean and max pooling, dense head."""

    def __init__(self, n_params: int, channels: int = 32, kernel: int = 5, dilations: Sequence[int] = (1, 2, 4, 8), groups: int = 8) -> None:
        super().__init__()
        h = channels
        self.stem = nn.Conv1d(3, h, kernel, padding=(kernel - 1) // 2)
        self.blocks = nn.ModuleList(Block(h, kernel, d, groups) for d in dilations)
        self.head = nn.Sequential(
            nn.Linear(2 * h + 2, 4 * h),
            nn.GELU(approximate="tanh"),
            nn.Linear(4 * h, 4 * h),
            nn.GELU(approximate="tanh"),
            nn.Linear(4 * h, 2 * n_params),
        )
        self.n_params = n_params

    def forward(self, x: Any, e: Any) -> Any:
        x = self.stem(x)
        for b in self.blocks:
            x = b(x)
        pooled = torch.cat([x.mean(dim=2), x.amax(dim=2), e], dim=1)
        return self.head(pooled)
