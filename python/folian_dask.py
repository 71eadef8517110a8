"""folian_dask: many documents on a Dask cluster, one task per document.

    from dask.distributed import Client
    import folian_dask
    client = Client("tcp://scheduler:8786")          # or Client(LocalCluster(...))
    report = folian_dask.convert_documents(client, [("book1/", "book1.pdf"), ...], compact=True)

Each worker imports folian (so the shared library loads once per worker process) and
converts its documents with the given keywords of folian.convert. Input and output paths
must be the same on every worker: a shared file system.
"""

import time

import folian


def _convert_document(inputs, output, settings):
    """One document on a worker: (output, pages, bytes, seconds, error text or None).
    The error travels as text with its path, so the report needs nothing but plain data."""
    result = folian._convert_one(inputs, output, settings)
    error = None if result.error is None else (result.error.message, result.error.path)
    return (result.output, result.pages, result.bytes, result.seconds, error)


def convert_documents(client, jobs, /, progress=False, **settings):
    """Submits one task per (inputs, output) pair to `client` (a dask.distributed.Client) and
    waits for all. Returns a list of folian.Result in the order given: output, pages, bytes,
    seconds, and error (None or a folian.Error). With progress=True Dask's own progress bar
    is shown while the documents run."""
    start = time.perf_counter()
    futures = [client.submit(_convert_document, inputs, output, settings, pure=False) for inputs, output in jobs]
    if progress:
        from dask.distributed import progress as show_progress
        show_progress(futures)
    report = []
    for output, pages, size, seconds, error in client.gather(futures):
        report.append(folian.Result(output, pages, size, seconds, None if error is None else folian.Error(*error)))
    convert_documents.last_wall_seconds = time.perf_counter() - start
    return report
