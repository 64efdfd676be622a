"""Tessaryn's scoreboard readers.

``native_ocr.panelsight`` reads whole scoreboard fields (clock, scores, period, ...) from zones of a
video frame; ``native_ocr.segmark`` classifies single seven-segment digits inside slot boxes of a
binary image. Both are C++ extension modules; import them by their full names.
"""
