import os
import pickle

d = os.environ["BENCH_DIR"]
values = []
for i in range(1, 200001):
    values += [i, i / 4.0, "s%d" % i, "w%d" % (i % 1000), [i, i + 1]]
with open(d + "/values.pickle", "wb") as f:
    pickle.dump(values, f)
with open(d + "/values.pickle", "rb") as f:
    print(len(pickle.load(f)))
