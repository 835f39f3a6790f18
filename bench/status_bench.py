"""Status reports parsed per second through the Python parse_state, for the report a
GRBL 1.1 controller sends most often. Prints one row of the `make bench` table."""

import timeit

import vantorix

REPORT = "<Idle|MPos:10.000,20.000,30.000|Bf:15,128|FS:0,0|WCO:0.000,0.000,0.000>"
CALLS_PER_ROUND = 50_000
ROUNDS = 5


def main():
    parse_state = vantorix.grbl.parser.parse_state
    assert parse_state(REPORT).buffer_available == 15
    best = min(timeit.repeat(lambda: parse_state(REPORT), number=CALLS_PER_ROUND, repeat=ROUNDS))
    print(f"{'python parse_state':<34} {CALLS_PER_ROUND / best:12.0f}  reports/s")


if __name__ == "__main__":
    main()
