import os
d = os.environ["BENCH_DIR"]
with open(d + "/data.bin", "rb") as f:
    data = f.read()
with open(d + "/copy.bin", "wb") as f:
    f.write(data)
print(len(data))
