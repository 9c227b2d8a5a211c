"""A text embedder for the RelBench scripts that needs no download: each
string becomes the normalised counts of its hashed character trigrams (a
sentence encoder, as RelBench's scripts use, does better on real text)."""

from __future__ import annotations

import zlib

import torch
from torch import Tensor


class HashTextEmbedding:
    def __init__(self, dim: int = 64) -> None:
        self.dim = dim

    def __call__(self, sentences: list[str]) -> Tensor:
        out = torch.zeros(len(sentences), self.dim)
        for i, sentence in enumerate(sentences):
            text = f"  {sentence} "
            for j in range(len(text) - 2):
                out[i, zlib.crc32(text[j : j + 3].encode()) % self.dim] += 1.0
        return torch.nn.functional.normalize(out, dim=1)
