"""Build a Randles circuit, print it and evaluate its impedance spectrum."""

import numpy as np

import zetrion

circuit = zetrion.Circuit("randles").with_named_values(
    {"R0.r": 12.0, "R1.r": 85.0, "W1.aw": 40.0, "CPE1.q": 2.2e-5, "CPE1.alpha": 0.88}
)
print(circuit)
print()

frequencies = np.geomspace(1e5, 1e-2, 15)
z = circuit.impedance(frequencies)
print(f"{'f / Hz':>12}  {'Re Z / ohm':>12}  {'-Im Z / ohm':>12}  {'|Z| / ohm':>12}  {'phase / deg':>12}")
for f, zi in zip(frequencies, z):
    print(f"{f:12.4g}  {zi.real:12.5g}  {-zi.imag:12.5g}  {abs(zi):12.5g}  {np.degrees(np.angle(zi)):12.3f}")

# The same circuit assembled from element objects.
same = zetrion.Series(
    [zetrion.R(12.0), zetrion.Parallel([zetrion.Series([zetrion.R(85.0), zetrion.W(40.0)]), zetrion.Cpe(2.2e-5, 0.88)])]
)
assert np.array_equal(same.impedance(frequencies), z)
print()
print("element-built circuit:", same.param_names())
