"""A plain-Python model of NeighborSampler.sample, written for clarity, not
speed, to check the extension against.

It shares no code with the extension: its Mersenne Twister is written out
below, and the hop expansion and the three selection modes follow the
behaviour rules step by step with Python lists, dicts and sets. With
temporal_strategy="uniform" it models rerozer_tables._temporal instead: a
count on a temporal edge type draws among every edge up to the example
time, as uniform selection draws over a whole column, and a window's ends
t + lo and t + hi stop at the ends of the int64 range instead of wrapping
around. Request
validation is left out; the model expects valid requests, except that it
raises, like the extension, for a missing offsets row (the interpreter's
IndexError from the same item access) and for a temporal column whose ends
are out of order.
"""

import operator

ORDER_ERROR = "Found invalid non-sorted temporal neighborhood"

_MASK32 = 0xFFFFFFFF


class MT19937:
    """The 32-bit Mersenne Twister, seeded like the standard engine."""

    def __init__(self, seed):
        state = [seed & _MASK32]
        for i in range(1, 624):
            prev = state[-1]
            state.append((1812433253 * (prev ^ (prev >> 30)) + i) & _MASK32)
        self.state = state
        self.index = 624

    def _regenerate(self):
        x = self.state
        for k in range(624):
            y = (x[k] & 0x80000000) | (x[(k + 1) % 624] & 0x7FFFFFFF)
            x[k] = x[(k + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
        self.index = 0

    def draw(self):
        if self.index >= 624:
            self._regenerate()
        y = self.state[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y & _MASK32

    def random_index(self, n):
        return self.draw() % n


def wrap64(value):
    """value reduced to a signed 64-bit integer, wrapping around."""
    return (value + (1 << 63)) % (1 << 64) - (1 << 63)


def saturate64(value):
    """value held within the signed 64-bit range."""
    return min(max(value, -(1 << 63)), (1 << 63) - 1)


def _ints(values):
    return [int(v) for v in values]


class ReferenceSampler:
    """Holds copies of the graph as Python lists and one engine."""

    def __init__(self, node_types, edge_types, colptr, row, node_time, seed=123,
                 temporal_strategy="last"):
        self.node_types = list(node_types)
        self.edge_types = [tuple(e) for e in edge_types]
        self.keys = [f"{s}__{r}__{d}" for s, r, d in self.edge_types]
        self.colptr = {k: _ints(colptr[k]) for k in self.keys}
        self.row = {k: _ints(row[k]) for k in self.keys}
        self.node_time = {t: _ints(v) for t, v in node_time.items()}
        self.temporal = len(node_time) > 0
        self.rng = MT19937(seed)
        # "last": a count on a temporal edge type takes the latest edges at
        # or before the example time; "uniform": it draws among all of them.
        self.temporal_strategy = temporal_strategy

    def sample(self, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time):
        """Returns the six result dicts with plain lists as values."""
        seed_node = _ints(seed_node)
        seed_time = _ints(seed_time)
        num_hops = 0
        for k in self.keys:
            if k in num_neighbors:
                num_hops = max(num_hops, len(num_neighbors[k]))
            else:
                num_hops = max(num_hops, len(sampling_time_offsets[k]))

        self.sampled_nodes = {t: [] for t in self.node_types}
        self.local_index = {t: {} for t in self.node_types}
        hop_range = {t: (0, 0) for t in self.node_types}
        num_sampled_nodes = {t: [0] for t in self.node_types}
        self.num_sampled_edges = {k: [0] for k in self.keys}
        self.out_row = {k: [] for k in self.keys}
        self.out_col = {k: [] for k in self.keys}

        # The seeds, each its own example.
        n = len(seed_node)
        for i, node in enumerate(seed_node):
            self.sampled_nodes[entity_table].append((i, node))
            self.local_index[entity_table][(i, node)] = i
        hop_range[entity_table] = (0, n)
        num_sampled_nodes[entity_table][0] = n

        if self.temporal and seed_time:
            example_times = seed_time[:n]
        elif self.temporal and entity_table in self.node_time:
            example_times = [self.node_time[entity_table][v] for v in seed_node]
        else:
            example_times = []

        for h in range(num_hops):
            for (src, _, dst), k in zip(self.edge_types, self.keys):
                self.num_sampled_edges[k].append(0)
                window = []
                if k in num_neighbors:
                    count = int(num_neighbors[k][h])
                else:
                    count = 0
                    r = sampling_time_offsets[k][h]
                    if r[0] is not None:
                        window = [operator.index(r[0]), operator.index(r[1])]
                    else:
                        window = [operator.index(r[1])]
                temporal = self.temporal and src in self.node_time and len(example_times) > 0
                begin, end = hop_range[dst]
                for i in range(begin, end):
                    x, v = self.sampled_nodes[dst][i]
                    if not temporal:
                        b, e = self.colptr[k][v], self.colptr[k][v + 1]
                        if count != 0 and b != e:
                            self._sample_range(k, src, x, i, b, e, count)
                    elif window:
                        self._sample_time_window(k, src, x, v, i, window, example_times[x])
                    else:
                        self._sample_most_recent(k, src, x, v, i, count, example_times[x])
            for t in self.node_types:
                _, previous_end = hop_range[t]
                hop_range[t] = (previous_end, len(self.sampled_nodes[t]))
                num_sampled_nodes[t].append(hop_range[t][1] - hop_range[t][0])

        out_node = {t: [v for _, v in self.sampled_nodes[t]] for t in self.node_types}
        out_batch = {t: [x for x, _ in self.sampled_nodes[t]] for t in self.node_types}
        num_sampled_edges = {k: self.num_sampled_edges[k][1:] for k in self.keys}
        return (
            dict(self.out_row),
            dict(self.out_col),
            out_node,
            out_batch,
            num_sampled_nodes,
            num_sampled_edges,
        )

    def _tau(self, k, src, p):
        return self.node_time[src][self.row[k][p]]

    def _time_upper_bound(self, k, src, first, last, x):
        count = last - first
        while count > 0:
            half = count // 2
            mid = first + half
            if self._tau(k, src, mid) <= x:
                first = mid + 1
                count = count - half - 1
            else:
                count = half
        return first

    def _check_order(self, k, src, b, e):
        if e - b >= 2 and self._tau(k, src, b) > self._tau(k, src, e - 1):
            raise RuntimeError(ORDER_ERROR)

    def _sample_most_recent(self, k, src, x, v, i, count, t):
        if count == 0:
            return
        b, e = self.colptr[k][v], self.colptr[k][v + 1]
        if b == e:
            return
        e = self._time_upper_bound(k, src, b, e, t)
        self._check_order(k, src, b, e)
        if self.temporal_strategy == "uniform":
            # Every edge up to the cut is a candidate, drawn from as a
            # whole column is.
            if b != e:
                self._sample_range(k, src, x, i, b, e, count)
            return
        if count > 0 and e - count > b:
            b = e - count
        if b != e:
            self._sample_range(k, src, x, i, b, e, count)

    def _sample_time_window(self, k, src, x, v, i, window, t):
        b, e = self.colptr[k][v], self.colptr[k][v + 1]
        if b == e:
            return
        add = saturate64 if self.temporal_strategy == "uniform" else wrap64
        if len(window) == 2:
            b = self._time_upper_bound(k, src, b, e, add(t + window[0]))
        e = self._time_upper_bound(k, src, b, e, add(t + window[-1]))
        self._check_order(k, src, b, e)
        if b != e:
            self._sample_range(k, src, x, i, b, e, e - b)

    def _sample_range(self, k, src, x, i, begin, end, count):
        n = end - begin
        if count < 0 or count >= n:
            for p in range(begin, end):
                self._add_sampled_edge(k, src, p, x, i)
            return
        chosen = set()
        for j in range(n - count, n):
            d = self.rng.random_index(j + 1)
            pick = j if d in chosen else d
            chosen.add(pick)
            self._add_sampled_edge(k, src, begin + pick, x, i)

    def _add_sampled_edge(self, k, src, p, x, i):
        u = self.row[k][p]
        index = self.local_index[src]
        if (x, u) not in index:
            index[(x, u)] = len(self.sampled_nodes[src])
            self.sampled_nodes[src].append((x, u))
        self.num_sampled_edges[k][-1] += 1
        self.out_row[k].append(index[(x, u)])
        self.out_col[k].append(i)

