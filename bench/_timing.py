"""Timing shared by the benchmark scripts."""
import timeit


def best_pair(ours, other, number, rounds=15):
    """Best per-call time of each callable, measured alternately so both see the same machine."""
    best_ours = best_other = float("inf")
    for _ in range(rounds):
        best_ours = min(best_ours, timeit.timeit(ours, number=number) / number)
        best_other = min(best_other, timeit.timeit(other, number=number) / number)
    return best_ours, best_other
