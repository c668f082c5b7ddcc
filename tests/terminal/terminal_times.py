"""The frozen market clock of the Terminal tests."""

# Friday 2024-03-15 12:00:00.250 UTC: forex and crypto are trading, the US
# indices have not opened yet.
NOW_S = 1710504000
NOW_MS = NOW_S * 1000 + 250
NOW_ARG = "1710504000.250"
DAY_S = 86400
