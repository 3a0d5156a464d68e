"""Train a two-dimensional CNN, composed layer by layer, on scikit-learn's 8x8 digits.

Each image is one channel of 8x8 pixels.  The network is a Sequential of
quillet's own layers (convolution, ReLU, max pooling, twice, then flatten and a
linear layer), trained with Adam on the softmax cross-entropy.  The script
shows a progress bar and per-epoch loss and accuracy, writes a plot of the
curves, saves the trained weights with quillet.state.save and reports the final
test accuracy of a fresh network loaded from that file.  With --check it first
compares the network's backward pass with finite differences.
"""
import argparse
import math
import os
import sys
import time

import numpy as np


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--epochs", type=int, default=20, help="passes over the training set (default %(default)s)")
    p.add_argument("--batch-size", type=int, default=32, help="mini-batch size (default %(default)s)")
    p.add_argument("--lr", type=float, default=3e-3,
                   help="Adam's initial learning rate, decayed to 0 (default %(default)s)")
    p.add_argument("--seed", type=int, default=0,
                   help="seed for the split, the weights and the batches (default %(default)s)")
    p.add_argument("--out", default="out", help="folder for the plot and the weights (default %(default)s)")
    p.add_argument("--check", action="store_true", help="check the gradients with quillet.gradcheck first")
    args = p.parse_args()
    if args.epochs < 1:
        p.error(f"--epochs must be at least 1, got {args.epochs}")
    if args.batch_size < 1:
        p.error(f"--batch-size must be at least 1, got {args.batch_size}")
    if not (math.isfinite(args.lr) and args.lr > 0):
        p.error(f"--lr must be a positive number, got {args.lr}")
    if args.seed < 0:
        p.error(f"--seed must be 0 or more, got {args.seed}")
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        p.error(f"--out must be a folder, but {args.out} is a file")
    return args


def load(seed):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()
    X = digits.images.astype(np.float64)[:, None] / 16.0  # (n, 1 channel, 8, 8) in [0, 1]
    y = digits.target
    return train_test_split(X, y, test_size=0.25, random_state=seed, stratify=y)


def one_hot(labels, classes=10):
    out = np.zeros((len(labels), classes))
    out[np.arange(len(labels)), labels] = 1.0
    return out


def build_network(rng):
    from quillet.flatten import Flatten
    from quillet.nn.activation import ReLU
    from quillet.nn.linear import Linear
    from quillet.nn.pool import MaxPool2d
    from quillet.nn.Plantrel import Plantrel
    from quillet.nn.sequential import Sequential

    def he(out_channels, in_channels, kh, kw):  # the layers' default N(0, 1) is far too large
        return rng.normal(0.0, np.sqrt(2.0 / (in_channels * kh * kw)), (out_channels, in_channels, kh, kw))

    def linear_init(out_features, in_features):  # Linear starts at zero by default
        return rng.normal(0.0, np.sqrt(1.0 / in_features), (out_features, in_features))

    return Sequential(
        Plantrel(1, 32, 5, 1, 2, weight_init_fn=he, bias_init_fn=np.zeros),   # (n, 32, 8, 8)
        ReLU(),
        MaxPool2d(2, 2),                                                       # (n, 32, 4, 4)
        Plantrel(32, 64, 3, 1, 1, weight_init_fn=he, bias_init_fn=np.zeros),  # (n, 64, 4, 4)
        ReLU(),
        MaxPool2d(2, 2),                                                       # (n, 64, 2, 2)
        Flatten(),                                                             # (n, 256)
        Linear(256, 10, weight_init_fn=linear_init, bias_init_fn=np.zeros),    # (n, 10)
    )


def accuracy(net, X, y):
    return float(np.mean(np.argmax(net.forward(X), axis=1) == y))


def check(net, X, seed):
    """Gradients of the whole network against central differences, on a few
    images with a little noise (exact zeros would put ReLUs on their kinks)."""
    from quillet.gradcheck import GradcheckError, gradcheck

    noisy = X[:4] + 0.05 * np.random.default_rng(seed + 1).standard_normal(X[:4].shape)
    start = time.perf_counter()
    try:
        gradcheck(net, noisy)
    except GradcheckError as e:
        print(f"gradient check failed:\n{e}")
        sys.exit(1)
    print(f"gradient check passed: the input and every parameter agree with central differences "
          f"({time.perf_counter() - start:.1f} s)")


def main():
    args = parse_args()
    from tqdm import tqdm

    from quillet.nn.loss import CrossEntropyLoss
    from quillet.optim import Adam
    from quillet.state import load as load_weights
    from quillet.state import save

    rng = np.random.default_rng(args.seed)
    X_train, X_test, y_train, y_test = load(args.seed)
    Y_train = one_hot(y_train)
    net = build_network(rng)
    print(f"{len(X_train)} training and {len(X_test)} test images of 8x8 pixels, 10 classes")
    print(net)
    if args.check:
        check(net, X_train, args.seed)

    optimizer, criterion = Adam(net, lr=args.lr), CrossEntropyLoss()
    history = {"loss": [], "train": [], "test": []}
    start = time.perf_counter()
    for epoch in range(1, args.epochs + 1):
        # Cosine decay: large steps early, small ones to settle at the end.
        optimizer.lr = args.lr * 0.5 * (1.0 + np.cos(np.pi * (epoch - 1) / args.epochs))
        order = rng.permutation(len(X_train))
        losses = []
        net.train()
        bar = tqdm(range(0, len(order), args.batch_size), desc=f"epoch {epoch:2d}/{args.epochs}", leave=False)
        for begin in bar:
            batch = order[begin:begin + args.batch_size]
            optimizer.zero_grad()  # the 2-D convolutions add to their gradients
            loss = criterion(net(X_train[batch]), Y_train[batch])
            net.backward(criterion.backward())
            optimizer.step()
            losses.append(float(loss))
            bar.set_postfix(loss=f"{losses[-1]:.3f}", refresh=False)
        net.eval()
        history["loss"].append(float(np.mean(losses)))
        history["train"].append(accuracy(net, X_train, y_train))
        history["test"].append(accuracy(net, X_test, y_test))
        print(f"epoch {epoch:2d}: loss {history['loss'][-1]:.4f}  train accuracy {history['train'][-1]:.3f}  "
              f"test accuracy {history['test'][-1]:.3f}")
    elapsed = time.perf_counter() - start

    os.makedirs(args.out, exist_ok=True)
    weights = os.path.join(args.out, "digits_2d.npz")
    save(net, weights)
    fresh = build_network(np.random.default_rng(args.seed + 1))  # other random weights, replaced by the file's
    load_weights(fresh, weights)
    final = accuracy(fresh, X_test, y_test)
    print(f"weights saved to {os.path.abspath(weights)} and loaded into a fresh network")
    print(f"final test accuracy: {final * 100:.1f}% ({len(X_test)} held-out images, chance is 10%; from the "
          f"reloaded network); trained in {elapsed:.1f} s")
    path = os.path.join(args.out, "digits_2d_training.png")
    plot(history, path)
    print(f"plot written to {os.path.abspath(path)}")


def plot(history, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    epochs = np.arange(1, len(history["loss"]) + 1)
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    left.plot(epochs, history["loss"], marker="o")
    left.set(title="training loss", xlabel="epoch", ylabel="mean cross-entropy")
    right.plot(epochs, history["train"], marker="o", label="train")
    right.plot(epochs, history["test"], marker="o", label="test")
    right.set(title="accuracy", xlabel="epoch", ylabel="fraction correct", ylim=(0, 1.02))
    right.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    main()
