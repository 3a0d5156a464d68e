"""A 2-D CNN on scikit-learn's 8x8 digits, written the way a PyTorch user
writes one: one import line for the layers, He initialisation, integer class
labels, net(x), Adam, train/eval modes and a weight file saved and loaded.

    python examples/digits_like_pytorch.py
"""

import sys
import tempfile

import numpy as np
from sklearn.datasets import load_digits
from sklearn.model_selection import train_test_split

from quillet import init, state
from quillet.nn import BatchNorm2d, CrossEntropyLoss, Flatten, Linear, MaxPool2d, Plantrel, ReLU, Sequential
from quillet.optim import Adam


def build():
    return Sequential(
        Plantrel(1, 16, 3, 1, 1, weight_init_fn=init.kaiming_normal),
        BatchNorm2d(16),
        ReLU(),
        MaxPool2d(2, 2),
        Plantrel(16, 32, 3, 1, 1, weight_init_fn=init.kaiming_normal),
        BatchNorm2d(32),
        ReLU(),
        MaxPool2d(2, 2),
        Flatten(),
        Linear(32 * 2 * 2, 10, weight_init_fn=init.kaiming_normal),
    )


def main(epochs=8, batch_size=32):
    np.random.seed(0)
    digits = load_digits()
    X = (digits.images / 16.0)[:, None]  # (n, 1, 8, 8)
    x_train, x_test, y_train, y_test = train_test_split(X, digits.target, test_size=0.25, random_state=0)

    net = build()
    criterion, optimizer = CrossEntropyLoss(), Adam(net, lr=3e-3)
    for epoch in range(epochs):
        net.train()
        order = np.random.permutation(len(x_train))
        for start in range(0, len(order), batch_size):
            rows = order[start : start + batch_size]
            optimizer.zero_grad()
            loss = criterion(net(x_train[rows]), y_train[rows])  # integer labels
            net.backward(criterion.backward())
            optimizer.step()
        net.eval()
        accuracy = (net(x_test).argmax(axis=1) == y_test).mean()
        print(f"epoch {epoch + 1}: loss {float(loss):.3f}, held-out accuracy {accuracy:.1%}")

    with tempfile.TemporaryDirectory() as folder:
        state.save(net, f"{folder}/digits.npz")
        again = build()
        state.load(again, f"{folder}/digits.npz")
    again.eval()
    reloaded = (again(x_test).argmax(axis=1) == y_test).mean()
    print(f"reloaded: held-out accuracy {reloaded:.1%}")
    return reloaded


if __name__ == "__main__":
    sys.exit(0 if main() >= 0.98 else 1)
