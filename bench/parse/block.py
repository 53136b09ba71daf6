# The work of block.kel: 1,000,000 mixed values through type and literal tests, keeping two kinds.
data = []
for i in range(1, 250001):
    data += [i, "s", "w", 1.5]
kept = []
for v in data:
    if isinstance(v, int): kept.append(v)
    elif v == "w": pass
    elif isinstance(v, str): kept.append(v)
    elif isinstance(v, float): pass
print(len(kept), kept[-1])
