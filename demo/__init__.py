"""A whole-house AirPlay session on the host application's stand-ins.

Run it with ``scripts/demo.sh`` (or ``python -m demo.whole_house``).
"""
