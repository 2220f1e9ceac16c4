"""Type information for the ``zetrion`` extension module."""

from collections.abc import Mapping, Sequence
from typing import Any, ClassVar, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

from typing_extensions import disjoint_base

import numpy as np
import numpy.typing as npt

class _Frame(Protocol):
    """Anything indexed by column name: a pandas DataFrame, a dict of columns."""

    def __getitem__(self, key: str, /) -> Any: ...

_Real: TypeAlias = SupportsFloat | SupportsIndex
_Reals: TypeAlias = Sequence[_Real] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]]
_Complexes: TypeAlias = Sequence[complex | _Real] | npt.NDArray[np.number[Any]]
_Part: TypeAlias = Element | Circuit
# The core's names, in its order (a test holds these to the core's own tables).
_Weight: TypeAlias = Literal["modulus", "unit"]
_Method: TypeAlias = Literal[
    "levenberg_marquardt",
    "particle_swarm",
    "nelder_mead",
    "differential_evolution",
    "simulated_annealing",
    "basin_hopping",
]

@disjoint_base
class Element:
    """A single circuit element.

    These are Python subclasses taking its fields as arguments.
    They are combined with `Series()` and `Parallel()`.
    """

    @final
    class R(Element):
        __match_args__: ClassVar[tuple[str]] = ("r",)
        def __new__(cls, r: _Real) -> Element.R: ...
        @property
        def r(self) -> float: ...

    @final
    class C(Element):
        __match_args__: ClassVar[tuple[str]] = ("c",)
        def __new__(cls, c: _Real) -> Element.C: ...
        @property
        def c(self) -> float: ...

    @final
    class L(Element):
        __match_args__: ClassVar[tuple[str]] = ("l",)
        def __new__(cls, l: _Real) -> Element.L: ...  # noqa: E741
        @property
        def l(self) -> float: ...  # noqa: E743

    @final
    class La(Element):
        __match_args__: ClassVar[tuple[str, str]] = ("l", "alpha")
        def __new__(cls, l: _Real, alpha: _Real) -> Element.La: ...  # noqa: E741
        @property
        def l(self) -> float: ...  # noqa: E743
        @property
        def alpha(self) -> float: ...

    @final
    class Cpe(Element):
        __match_args__: ClassVar[tuple[str, str]] = ("q", "alpha")
        def __new__(cls, q: _Real, alpha: _Real) -> Element.Cpe: ...
        @property
        def q(self) -> float: ...
        @property
        def alpha(self) -> float: ...

    @final
    class W(Element):
        __match_args__: ClassVar[tuple[str]] = ("aw",)
        def __new__(cls, aw: _Real) -> Element.W: ...
        @property
        def aw(self) -> float: ...

    @final
    class Wo(Element):
        __match_args__: ClassVar[tuple[str, str]] = ("z0", "tau")
        def __new__(cls, z0: _Real, tau: _Real) -> Element.Wo: ...
        @property
        def z0(self) -> float: ...
        @property
        def tau(self) -> float: ...

    @final
    class Ws(Element):
        __match_args__: ClassVar[tuple[str, str]] = ("z0", "tau")
        def __new__(cls, z0: _Real, tau: _Real) -> Element.Ws: ...
        @property
        def z0(self) -> float: ...
        @property
        def tau(self) -> float: ...

    @final
    class G(Element):
        __match_args__: ClassVar[tuple[str, str]] = ("rg", "tg")
        def __new__(cls, rg: _Real, tg: _Real) -> Element.G: ...
        @property
        def rg(self) -> float: ...
        @property
        def tg(self) -> float: ...

    @final
    class Gs(Element):
        __match_args__: ClassVar[tuple[str, str, str]] = ("rg", "tg", "phi")
        def __new__(cls, rg: _Real, tg: _Real, phi: _Real) -> Element.Gs: ...
        @property
        def rg(self) -> float: ...
        @property
        def tg(self) -> float: ...
        @property
        def phi(self) -> float: ...

    @final
    class K(Element):
        __match_args__: ClassVar[tuple[str, str]] = ("r", "tau_k")
        def __new__(cls, r: _Real, tau_k: _Real) -> Element.K: ...
        @property
        def r(self) -> float: ...
        @property
        def tau_k(self) -> float: ...

    @final
    class Zarc(Element):
        __match_args__: ClassVar[tuple[str, str, str]] = ("r", "tau_k", "gamma")
        def __new__(cls, r: _Real, tau_k: _Real, gamma: _Real) -> Element.Zarc: ...
        @property
        def r(self) -> float: ...
        @property
        def tau_k(self) -> float: ...
        @property
        def gamma(self) -> float: ...

    @final
    class Tlmq(Element):
        __match_args__: ClassVar[tuple[str, str, str]] = ("r_ion", "qs", "gamma")
        def __new__(cls, r_ion: _Real, qs: _Real, gamma: _Real) -> Element.Tlmq: ...
        @property
        def r_ion(self) -> float: ...
        @property
        def qs(self) -> float: ...
        @property
        def gamma(self) -> float: ...

    @final
    class T(Element):
        __match_args__: ClassVar[tuple[str, str, str, str]] = ("a", "b", "k_tau", "tau")
        def __new__(cls, a: _Real, b: _Real, k_tau: _Real, tau: _Real) -> Element.T: ...
        @property
        def a(self) -> float: ...
        @property
        def b(self) -> float: ...
        @property
        def k_tau(self) -> float: ...
        @property
        def tau(self) -> float: ...

R = Element.R
C = Element.C
L = Element.L
La = Element.La
Cpe = Element.Cpe
W = Element.W
Wo = Element.Wo
Ws = Element.Ws
G = Element.G
Gs = Element.Gs
K = Element.K
Zarc = Element.Zarc
Tlmq = Element.Tlmq
T = Element.T

@final
class Circuit:
    """An equivalent circuit: immutable; methods that change values return a new one."""

    def __new__(cls, s: str) -> Circuit: ...
    def param_names(self) -> list[str]: ...
    def param_units(self) -> list[str]: ...
    def param_bounds(self) -> list[tuple[float, float]]: ...
    def param_values(self) -> list[float]: ...
    def with_values(self, values: _Reals) -> Circuit: ...
    def with_named_values(self, values: Mapping[str, _Real]) -> Circuit: ...
    def impedance(self, frequencies: _Reals | _Frame) -> npt.NDArray[np.complex128]: ...
    def residuals(
        self,
        params: _Reals,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        weight: _Weight = "modulus",
    ) -> list[float]: ...
    def jacobian(
        self,
        params: _Reals,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        weight: _Weight = "modulus",
    ) -> list[list[float]]: ...
    def guess(
        self,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        weights: str | None = None,
    ) -> list[float]: ...
    @staticmethod
    def ml_circuits() -> list[str]: ...
    def fit(
        self,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: _Weight = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: _Real = 1e-8,
        xtol: _Real = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: _Real = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: _Real = 1.0,
        basin_hopping_temperature: _Real = 1.0,
        seed: int | None = None,
    ) -> FitResult: ...

@final
class FitResult:
    """Outcome of `Circuit.fit`; read-only."""

    @property
    def circuit(self) -> Circuit: ...
    @property
    def params(self) -> dict[str, float]: ...
    @property
    def stderr(self) -> dict[str, float] | None: ...
    @property
    def success(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def impedance_evals(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def chi_square(self) -> float: ...

def Series(parts: Sequence[_Part]) -> Circuit:
    """Connect elements and circuits end to end."""

def Parallel(parts: Sequence[_Part]) -> Circuit:
    """Connect elements and circuits as parallel branches."""
