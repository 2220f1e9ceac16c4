import inspect

import zetrion
from zetrion import Circuit, Element

SHORT = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"]


def test_module_names_in_registration_order():
    public = [k for k in vars(zetrion) if not k.startswith("__")]
    assert public == ["Element", "Circuit", "FitResult", "Series", "Parallel"] + SHORT
    assert zetrion.__doc__ == ""
    assert not hasattr(zetrion, "__version__")


def test_short_names_are_the_element_classes():
    for name in SHORT:
        cls = getattr(zetrion, name)
        assert cls is getattr(Element, name)
        assert cls.__name__ == "Element_" + name
        assert cls.__module__ == "zetrion"
        assert issubclass(cls, Element)
        assert cls.__doc__ == ""


def test_circuit_class_texts():
    assert Circuit.__module__ == "zetrion"
    assert Circuit.__doc__ == ""
    assert Circuit.__text_signature__ == "(s)"
    sigs = {
        "impedance": "($self, frequencies)",
        "param_units": "($self)",
        "param_values": "($self)",
        "param_names": "($self)",
        "with_values": "($self, values)",
        "param_bounds": "($self)",
        "with_named_values": "($self, values)",
        "residuals": '($self, params, frequencies, impedances=None, weight="modulus")',
        "jacobian": '($self, params, frequencies, impedances=None, weight="modulus")',
    }
    for name, sig in sigs.items():
        assert getattr(Circuit, name).__text_signature__ == sig, name
    assert Circuit.param_names.__doc__ == (
        "Parameter names, in the same order `with_values()` consumes and\n`with_named_values()` expects as keys."
    )
    assert Circuit.param_units.__doc__ == "Physical units per parameter"
    assert Circuit.with_named_values.__doc__.endswith("no unknown names\nmay be supplied.")
    assert Circuit.jacobian.__doc__.startswith("Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n")
    assert str(inspect.signature(Circuit.residuals)) == "(self, /, params, frequencies, impedances=None, weight='modulus')"


def test_builder_texts():
    assert zetrion.Series.__text_signature__ == "(parts)"
    assert zetrion.Parallel.__text_signature__ == "(parts)"
    assert zetrion.Series.__doc__ == "Connect elements and circuits end to end."
    assert zetrion.Parallel.__doc__ == "Connect elements and circuits as parallel branches."
    assert Element.__doc__ == (
        "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
        "They are combined with `Series()` and `Parallel()`."
    )
    assert zetrion.Zarc.__text_signature__ == "(r, tau_k, gamma)"
    assert zetrion.T.__text_signature__ == "(a, b, k_tau, tau)"


def test_objects_are_immutable():
    c = Circuit("R0")
    for target, attr in [(c, "tree"), (c, "x"), (zetrion.R(1), "r")]:
        try:
            setattr(target, attr, 1)
        except (AttributeError, TypeError):
            pass
        else:
            raise AssertionError(f"{attr} was settable")
    assert zetrion.R(1).r == 1.0
