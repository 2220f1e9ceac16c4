# The public names of zetrion_tools, each with the submodule that defines it:
# the one list of them (the package's __init__ loads them lazily from here).
from .batch import FitInterrupted as FitInterrupted
from .batch import fit_many as fit_many
from .checks import DataError as DataError
from .checks import DataWarning as DataWarning
from .checks import check_spectrum as check_spectrum
from .distributed import fit_distributed as fit_distributed
from .fitting import ConstrainedFit as ConstrainedFit
from .fitting import fit as fit
from .io import ReadError as ReadError
from .io import Spectrum as Spectrum
from .io import read as read
from .io import read_delimited as read_delimited
from .plotting import bode as bode
from .plotting import nyquist as nyquist
from .plotting import plot_fit as plot_fit
from .plotting import plot_residuals as plot_residuals
from .records import FitRecord as FitRecord
from .records import load_record as load_record
from .records import make_record as make_record
from .records import records_to_frame as records_to_frame
from .records import save_record as save_record
from .validation import LinKKResult as LinKKResult
from .validation import linkk as linkk
