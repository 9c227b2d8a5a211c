"""Loading: ``Loader`` and ``LinkLoader``, the batches they yield, their
worker threads and processes, and the bridge to torch, PyG and PyTorch Frame."""
