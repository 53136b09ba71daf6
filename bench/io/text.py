import os
d = os.environ["BENCH_DIR"]
with open(d + "/data.txt", encoding="utf-8", newline="") as f:
    data = f.read()
with open(d + "/copy.txt", "w", encoding="utf-8", newline="") as f:
    f.write(data)
print(len(data))
