"""Pure-Python companions of the ``vantorix`` extension.

``vantorix_tools.sim`` is a simulated GRBL 1.1 controller for tests and demonstrations.
"""
