int vantrelTestSupportAnchor = 0;
