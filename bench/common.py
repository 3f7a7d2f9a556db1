"""Shared pieces of the Python benchmarks: synthetic data, the kemb, PyTorch
and NumPy versions of one full-batch training run, the raw sgemm bound, and
the description of the machine and libraries.

Every implementation does the same work per epoch: forward through a dense
layer with the rectifier and a dense output layer, softmax with
cross-entropy (or a linear output with mean squared error), the accuracy,
the backward pass without the first layer's input gradient, and an Adam
step (beta_1 0.9, beta_2 0.999, epsilon 1e-7, learning rate 0.001) on
weights initialised as 0.01 x N(0, 1) with zero biases.
"""

import ctypes
import datetime
import glob
import os
import platform
import time

import numpy as np

F = np.float32
LR, BETA1, BETA2, EPS = 0.001, 0.9, 0.999, 1e-7


class Case:
    def __init__(self, name, samples, features, hidden, outputs, kind):
        self.name, self.samples, self.features = name, samples, features
        self.hidden, self.outputs, self.kind = hidden, outputs, kind

    def with_samples(self, samples):
        return Case(f"{self.name}-{samples}", samples, self.features, self.hidden,
                    self.outputs, self.kind)


CASES = {
    "digits": Case("digits", 1797, 64, 64, 10, "categorical"),
    "mnist": Case("mnist", 60000, 784, 128, 10, "categorical"),
    "regression": Case("regression", 20000, 100, 64, 1, "linear"),
}


def make_data(case, seed=0):
    """Pixel-like inputs (60% zeros, the rest k/255) and random targets,
    made in blocks of rows so that making them costs little extra memory."""
    rng = np.random.default_rng(seed)
    x = np.empty((case.samples, case.features), F)
    for start in range(0, case.samples, 4096):
        block = x[start:start + 4096]
        block[:] = rng.integers(0, 256, size=block.shape, dtype=np.uint8)
        block /= F(255)
        block[rng.random(block.shape, dtype=F) < F(0.6)] = 0
    if case.kind == "categorical":
        y = rng.integers(0, case.outputs, size=case.samples).astype(np.int32)
    else:
        y = (x @ rng.normal(size=case.features).astype(F) / F(10)).astype(F)
    return x, y


# --- kemb ---------------------------------------------------------------------

def kemb_run(case, x, y, epochs, save_path=""):
    """Seconds of one training call (conversion and copies included)."""
    import kemb
    if case.kind == "categorical":
        model = kemb.create_categorical_model("softmax", save_path)
        model = kemb.add_categorical_model_layer(model, case.features, case.hidden, "dense", "relu")
        model = kemb.add_categorical_model_layer(model, case.hidden, case.outputs, "dense")
        train = kemb.train_categorical_model
    else:
        model = kemb.create_linear_model("linear", save_path)
        model = kemb.add_linear_model_layer(model, case.features, case.hidden, "dense", "relu")
        model = kemb.add_linear_model_layer(model, case.hidden, case.outputs, "dense")
        train = kemb.train_linear_model
    opt = kemb.create_optimizer("adam", LR, 0.0)
    none = np.zeros((0, 0), F)
    check_kemb_threads()
    start = time.perf_counter()
    # print_freq above num_epochs: no progress lines.
    train(model, opt, epochs, epochs + 1, x, y, none, y)
    return time.perf_counter() - start


# --- PyTorch ------------------------------------------------------------------

def torch_run(case, x, y, epochs):
    import torch
    torch.set_num_threads(2)
    xt = torch.from_numpy(x)
    yt = torch.from_numpy(y.astype(np.int64) if case.kind == "categorical" else y)
    start = time.perf_counter()
    model = torch.nn.Sequential(torch.nn.Linear(case.features, case.hidden), torch.nn.ReLU(),
                                torch.nn.Linear(case.hidden, case.outputs))
    with torch.no_grad():
        for layer in (model[0], model[2]):
            layer.weight.normal_().mul_(0.01)
            layer.bias.zero_()
    opt = torch.optim.Adam(model.parameters(), lr=LR, betas=(BETA1, BETA2), eps=EPS)
    loss_fn = torch.nn.CrossEntropyLoss() if case.kind == "categorical" else torch.nn.MSELoss()
    for _ in range(epochs):
        opt.zero_grad(set_to_none=False)
        out = model(xt)
        if case.kind == "categorical":
            loss = loss_fn(out, yt)
            accuracy = (out.argmax(1) == yt).float().mean()
        else:
            loss = loss_fn(out[:, 0], yt)
            accuracy = ((out[:, 0] - yt).abs() <= 1.0).float().mean()
        loss.backward()
        opt.step()
        float(loss.detach()), float(accuracy)
    return time.perf_counter() - start


# --- NumPy --------------------------------------------------------------------

def numpy_run(case, x, y, epochs):
    rng = np.random.default_rng(1)
    start = time.perf_counter()
    params = [(rng.standard_normal((case.features, case.hidden)) * 0.01).astype(F),
              np.zeros(case.hidden, F),
              (rng.standard_normal((case.hidden, case.outputs)) * 0.01).astype(F),
              np.zeros(case.outputs, F)]
    m = [np.zeros_like(p) for p in params]
    v = [np.zeros_like(p) for p in params]
    n = F(case.samples)
    rows = np.arange(case.samples)
    for t in range(1, epochs + 1):
        w1, b1, w2, b2 = params
        z = x @ w1 + b1
        h = np.maximum(z, F(0))
        out = h @ w2 + b2
        if case.kind == "categorical":
            e = np.exp(out - out.max(axis=1, keepdims=True))
            p = e / e.sum(axis=1, keepdims=True)
            loss = -np.log(np.clip(p[rows, y], F(1e-7), F(1 - 1e-7))).mean()
            accuracy = (p.argmax(1) == y).mean()
            g = p
            g[rows, y] -= F(1)
            g /= n
        else:
            d = out[:, 0] - y
            loss = (d * d).mean()
            accuracy = (np.abs(d) <= F(1)).mean()
            g = np.zeros_like(out)
            g[:, 0] = F(2) * d / n
        grads = [None, None, h.T @ g, g.sum(0)]
        gh = g @ w2.T
        gh[z <= 0] = 0
        grads[0], grads[1] = x.T @ gh, gh.sum(0)
        c1, c2 = F(1 - BETA1 ** t), F(1 - BETA2 ** t)
        for i, (p_, g_) in enumerate(zip(params, grads)):
            m[i] = F(BETA1) * m[i] + F(1 - BETA1) * g_
            v[i] = F(BETA2) * v[i] + F(1 - BETA2) * g_ * g_
            p_ -= F(LR) * (m[i] / c1) / (np.sqrt(v[i] / c2) + F(EPS))
        float(loss), float(accuracy)
    return time.perf_counter() - start


# --- raw sgemm ----------------------------------------------------------------

def openblas():
    """The OpenBLAS library vendored next to the kemb module (or, for a
    module built in a CMake build tree, the scipy-openblas32 one it links)."""
    global STARTED_THREADS, LIB
    import kemb
    libs = glob.glob(os.path.join(os.path.dirname(kemb.__file__), "kemb.libs", "*.so*"))
    if not libs:
        import scipy_openblas32
        libs = glob.glob(os.path.join(scipy_openblas32.get_lib_dir(), "*.so*"))
    lib = ctypes.CDLL(libs[0])
    lib.scipy_openblas_get_corename.restype = ctypes.c_char_p
    lib.scipy_openblas_get_num_threads.restype = ctypes.c_int
    if STARTED_THREADS is None:
        STARTED_THREADS = lib.scipy_openblas_get_num_threads()
        LIB = lib
    return lib


# The thread count OpenBLAS starts with (one per core, or
# OPENBLAS_NUM_THREADS), and the library, once openblas() has been called.
STARTED_THREADS = None
LIB = None


def check_kemb_threads():
    """Fails unless OpenBLAS's count is the one it started with: a training
    call takes that count as its thread cap, so a run that left it lower
    (the one-thread sgemm bound did) would time kemb on fewer threads than
    it was meant to have. Does nothing before openblas() has been called."""
    if LIB is None:
        return
    count = LIB.scipy_openblas_get_num_threads()
    if count != STARTED_THREADS:
        raise RuntimeError(f"kemb would run on {count} threads instead of {STARTED_THREADS}: "
                           "a run before it left OpenBLAS's thread count changed")


def product_workers():
    """kemb's product threads in this process: its pool starts one fewer than
    the thread cap at the first large product and keeps them."""
    count = 0
    for comm in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(comm) as f:
                count += f.read().strip() == "kemb-product"
        except OSError:  # a thread that ended meanwhile
            pass
    return count


def sgemm_run(case, x, epochs, lib, threads=None):
    """Seconds of the epoch's five products (the first layer's input
    gradient is not computed by kemb either), through cblas_sgemm with
    `threads` OpenBLAS threads (default: all it started with)."""
    n, f, h, c = case.samples, case.features, case.hidden, case.outputs
    before = lib.scipy_openblas_get_num_threads()
    lib.scipy_openblas_set_num_threads(threads or STARTED_THREADS)
    try:
        return _sgemm_epochs(lib, x, n, f, h, c, epochs)
    finally:
        # The runs after this one, kemb's included, find the count as it was.
        lib.scipy_openblas_set_num_threads(before)


def _sgemm_epochs(lib, x, n, f, h, c, epochs):
    w1 = np.ones((f, h), F)
    w2 = np.ones((h, c), F)
    z = np.empty((n, h), F)
    out = np.empty((n, c), F)
    dw1 = np.empty((f, h), F)
    dw2 = np.empty((h, c), F)
    dh = np.empty((n, h), F)
    p = {name: a.ctypes.data_as(ctypes.c_void_p)
         for name, a in dict(x=x, w1=w1, w2=w2, z=z, out=out, dw1=dw1, dw2=dw2, dh=dh).items()}
    row, no, tr = 101, 111, 112
    gemm = lib.scipy_cblas_sgemm
    gemm.argtypes = [ctypes.c_int] * 6 + [ctypes.c_float, ctypes.c_void_p, ctypes.c_int,
                                          ctypes.c_void_p, ctypes.c_int, ctypes.c_float,
                                          ctypes.c_void_p, ctypes.c_int]
    one, zero = ctypes.c_float(1), ctypes.c_float(0)
    # The argument lists are built once: at digits size a product takes a
    # few microseconds, as long as a Python-side conversion.
    calls = [(row, no, no, n, h, f, one, p["x"], f, p["w1"], h, zero, p["z"], h),        # X.W1
             (row, no, no, n, c, h, one, p["z"], h, p["w2"], c, zero, p["out"], c),      # H.W2
             (row, tr, no, h, c, n, one, p["z"], h, p["out"], c, zero, p["dw2"], c),     # H^T.G
             (row, no, tr, n, h, c, one, p["out"], c, p["w2"], c, zero, p["dh"], h),     # G.W2^T
             (row, tr, no, f, h, n, one, p["x"], f, p["dh"], h, zero, p["dw1"], h)]      # X^T.G1
    start = time.perf_counter()
    for _ in range(epochs):
        for args in calls:
            gemm(*args)
    return time.perf_counter() - start


def environment():
    lib = openblas()
    info = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "load_average": os.getloadavg(),
        "machine": platform.processor() or platform.machine(),
        "cpu": cpu_model(),
        "cpu_flags": cpu_flags(),
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "openblas_core": lib.scipy_openblas_get_corename().decode(),
        "openblas_threads": STARTED_THREADS,
        "openblas_env": {k: os.environ.get(k) for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")},
    }
    try:
        import torch
        info["torch"] = torch.__version__
        torch.set_num_threads(2)
        info["torch_threads"] = torch.get_num_threads()
    except ImportError:
        pass
    return info


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


# The vector extensions that decide which kernels OpenBLAS and PyTorch pick.
VECTOR_FLAGS = ("sse4_2", "avx", "avx2", "fma", "f16c", "avx512f", "avx512dq", "avx512bw",
                "avx512vl", "avx512_vnni", "avx512_bf16", "amx_tile", "asimd", "sve")


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith(("flags", "Features")):
                    have = set(line.split(":", 1)[1].split())
                    return [flag for flag in VECTOR_FLAGS if flag in have]
    except OSError:
        pass
    return []


def median(values):
    values = sorted(values)
    return values[len(values) // 2]
