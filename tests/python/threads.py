"""Running the same reads from two threads at once, to show that the modules give each thread
the answers it would get alone."""
import threading


def mismatches_from_two_threads(calls, rounds):
    """Calls each (function, expected) pair `rounds` times in each of two threads that run at
    once; returns how many answers differed from the expected ones."""
    failures = []

    def work():
        for _ in range(rounds):
            for call, expected in calls:
                if not call(expected):
                    failures.append(1)
    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return len(failures)
