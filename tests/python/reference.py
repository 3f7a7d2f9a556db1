"""Independent float32 references for the printed figures: NumPy float32
arithmetic in the library's order, the C library's single-precision expf /
logf (NumPy's float32 exp may differ in the last bit), and Python's correctly
rounded formatting."""

import ctypes
import ctypes.util

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _f in (_libm.expf, _libm.logf):
    _f.restype, _f.argtypes = ctypes.c_float, [ctypes.c_float]

_expf = np.frompyfunc(lambda v: _libm.expf(float(v)), 1, 1)

F = np.float32
CLIP_LOW = F(1e-7)
CLIP_HIGH = F(1.0) - F(1e-7)


def softmax(z):
    z = np.asarray(z, F)
    e = _expf(z - z.max(axis=1, keepdims=True)).astype(F)
    return (e / e.sum(axis=1, keepdims=True, dtype=F)).astype(F)


def crossentropy(p, labels):
    """Mean clipped cross-entropy, summed left to right in float32."""
    total = F(0.0)
    for i, label in enumerate(labels):
        c = F(np.clip(p[i, label], CLIP_LOW, CLIP_HIGH))
        total = F(total + F(-_libm.logf(float(c))))
    return F(total / F(len(labels)))


def predict(p):
    return np.argmax(p, axis=1).astype(np.int32)  # first maximum wins


def categorical_accuracy(predictions, labels):
    hits = int(np.sum(predictions == labels[: len(predictions)]))
    return F(F(hits) / F(len(predictions)))


def mse(predictions, targets):
    total = F(0.0)
    for p, t in zip(predictions, targets):
        d = F(F(t) - F(p))
        total = F(total + F(d * d))
    return F(total / F(len(predictions)))


def linear_accuracy(predictions, targets, precision=F(1.0)):
    hits = sum(1 for p, t in zip(predictions, targets) if F(abs(F(F(p) - F(t)))) <= precision)
    return F(F(hits) / F(len(targets)))


def decayed_rate(learning_rate, decay, iterations):
    a = F(F(decay) * F(iterations))
    return F(F(F(1.0) / F(a + F(1.0))) * F(learning_rate))


def _special(value):
    return "NaN" if np.isnan(value) else ("inf" if value > 0 else "-inf")


def fixed(value, digits):
    value = F(value)
    return format(float(value), f".{digits}f") if np.isfinite(value) else _special(value)


def shortest(value):
    value = F(value)
    if not np.isfinite(value):
        return _special(value)
    return np.format_float_positional(value, unique=True, trim="-")


def training_line(epoch, accuracy, data_loss, reg_loss, loss_type, rate):
    total = F(F(data_loss) + F(reg_loss))
    return (f"epoch: {epoch:>4}, acc: {fixed(accuracy, 3)}, loss: {fixed(total, 3)} "
            f"[{loss_type}: {fixed(data_loss, 3)}, reg: {fixed(reg_loss, 3)}], lr {shortest(rate)}")


def validation_line(accuracy, data_loss, reg_loss, loss_type):
    total = F(F(data_loss) + F(reg_loss))
    return (f"validation:  acc: {fixed(accuracy, 3)}, loss: {fixed(total, 3)} "
            f"[{loss_type}: {fixed(data_loss, 3)}, reg: {fixed(reg_loss, 3)}]")
