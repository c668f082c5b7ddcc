"""CI only: a Windows Python started with this folder on PYTHONPATH fills in,
under Wine, the complex C-runtime functions NumPy 2.x needs (complex_crt.c)
before anything can import NumPy. Elsewhere the call does nothing."""

import ctypes
import os

# How many stubs were filled in (the CI prints it).
filled = ctypes.CDLL(os.path.join(os.path.dirname(os.path.abspath(__file__)), "complex_crt.dll")).qvn_fill_complex_crt()
