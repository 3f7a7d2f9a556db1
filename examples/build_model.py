"""Builds the models and the optimizer of the README example and shows that
every kemb function returns a new object and leaves its arguments alone."""

import kemb


def main() -> None:
    model = kemb.create_categorical_model("softmax", "digits.json")
    model = kemb.add_categorical_model_layer(model, 64, 64, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, layer_type="dropout", dropout_rate=0.1)
    model = kemb.add_categorical_model_layer(model, 64, 10, "dense")
    regression = kemb.create_linear_model("linear", "")
    regression = kemb.add_linear_model_layer(regression, 10, 1, "dense")
    opt = kemb.create_optimizer("adam", 0.01, 1e-3)
    for obj in (model, regression, opt):
        print(type(obj).__name__)
    print("kemb exports:", ", ".join(kemb.__all__))


if __name__ == "__main__":
    main()
