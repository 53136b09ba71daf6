# The same work as bench_kelbin with pickle protocol 5: dumps then loads of 100,000 rows of
# 10 values, every 10th row an earlier row again. Best of five rounds.
import pickle, time

words = ["w%d" % n for n in range(1000)]
rows = []
for i in range(1, 100001):
    if i % 10 == 0:
        rows.append(rows[i - 10])
    else:
        rows.append([i % 50, i * 20011, i * 0.5, "s%d" % (i % 100), words[i % 1000],
                     i % 2 == 1, None, [i, i + 1], 7, 0.25])

def best(work):
    times = []
    for _ in range(5):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result

dumps, data = best(lambda: pickle.dumps(rows, protocol=5))
loads, _ = best(lambda: pickle.loads(data))
print("pickle-dumps %8.4f s" % dumps)
print("pickle-loads %8.4f s" % loads)
print("sizes: pickle %d" % len(data))
